// The engine configuration's one setting the library reads.
#pragma once

#include <cstdint>

// The engine configuration (the game's settings model) is a subsystem the
// updater never uses and this library does not carry yet. This placeholder
// holds the one setting the library itself reads from it (whether the file
// server preloads) so that start-up, shut-down and the file server treat
// its global as the full object would be treated. Nothing creates it in
// this program; tests set it to exercise the preloader.
struct ztEngineConfig {
  int32_t preload = 0;
};
extern ztEngineConfig* g_ztEngineConfig;
