/* Stands in for <rpc.h> when the MIDL-generated identifiers (Qel_weigher_i.c) are compiled
   for the build machine: only the GUID type they are written in. */
#pragma once
#include <stdint.h>

typedef struct {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
#define DECLSPEC_SELECTANY
