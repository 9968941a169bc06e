#include "image/ztImageRa3.h"

#include <cstring>

int ztImageRa3::Detect(const uint8_t* data, uint32_t size) {
  return data && size >= 4 && memcmp(data, "RA-3", 4) == 0;
}

// Not implemented yet (see the header): recognised, never decoded.
int ztImageRa3::Load(const ztMemBlock*, int) { return 0; }

int ztImageRa3::LoadByIndex(const ztMemBlock*, unsigned, int*) { return 0; }
