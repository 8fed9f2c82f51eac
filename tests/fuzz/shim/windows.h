// The few Windows types that the decoders' headers name, for the native Linux build
// that fuzzes them. Only declarations; nothing here pretends to be the system.
#pragma once
#include <cstdint>

typedef uint32_t DWORD;
typedef unsigned int UINT;
