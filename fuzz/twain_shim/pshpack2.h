// twain.h packs its structures on 2 bytes, as Windows headers do.
#pragma pack(push, 2)
