// Stands in for the Windows header of this name in the native build.
#pragma pack(pop)
