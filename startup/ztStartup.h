// Library start-up and shut-down: brings the in-house library up once per
// process (common controls, COM, capability record, private heap, file
// server) and takes it down again in the reverse sense. It sits above the
// file and platform layers because it wires them together.
//
// Windows build only.
#pragma once

#include <cstdint>

#include "platform/ztEngineConfig.h"

// Size of the private heap the start-up creates.
constexpr uint32_t ZT_STARTUP_HEAP_SIZE = 0xA00000;


// Steps, in order: common controls and COM; the DDE service when ddeMode is
// not 0 (not built in this library: no service is created); the capability
// record when none exists; the private heap (a second call keeps the first);
// the file server when none exists. Always 1.
int ztLibraryStartup(uint32_t flags, int32_t ddeMode);

// Each only if present, in order: DDE service, file server, engine
// configuration, private heap, debug log, capability record, then COM.
// Always 1.
int ztLibraryShutdown();
