// The packing before pshpack2.h.
#pragma pack(pop)
