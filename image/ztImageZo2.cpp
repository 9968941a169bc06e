#include "image/ztImageZo2.h"

#include <cstring>

int ztImageZo2::Detect(const uint8_t* data, uint32_t size) {
  return data && size >= 4 && memcmp(data, "ZO-2", 4) == 0;
}

// Not implemented yet (see the header): recognised, never decoded.
int ztImageZo2::Load(const ztMemBlock*, int) { return 0; }

int ztImageZo2::LoadByIndex(const ztMemBlock*, unsigned, int*) { return 0; }

int ztImageZo2::Save(ztMemBlock*, int, int, int, int) { return 0; }
