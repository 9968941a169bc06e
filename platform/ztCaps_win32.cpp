#include <windows.h>

#include "platform/ztCaps.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

// RtlGetVersion tells the truth about the version, unlike GetVersionEx,
// which lies to programs without a compatibility manifest. It is looked up
// at run time because it is not in the import libraries of every toolchain.
struct RtlVersionInfo {
  ULONG size;
  ULONG major;
  ULONG minor;
  ULONG build;
  ULONG platform;
  WCHAR csd[128];
};
using RtlGetVersionFn = LONG(WINAPI*)(RtlVersionInfo*);

// The identification instruction exists when the ID flag (bit 21) of the
// flag register can be changed.
bool CpuidAvailable() {
#if defined(__i386__)
  uint32_t before = 0, after = 0;
  __asm__ volatile(
      "pushfl\n\t"
      "popl %0\n\t"
      "movl %0, %1\n\t"
      "xorl $0x200000, %1\n\t"
      "pushl %1\n\t"
      "popfl\n\t"
      "pushfl\n\t"
      "popl %1\n\t"
      "pushl %0\n\t"
      "popfl\n\t"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
#elif defined(__x86_64__)
  uint64_t before = 0, after = 0;
  __asm__ volatile(
      "pushfq\n\t"
      "popq %0\n\t"
      "movq %0, %1\n\t"
      "xorq $0x200000, %1\n\t"
      "pushq %1\n\t"
      "popfq\n\t"
      "pushfq\n\t"
      "popq %1\n\t"
      "pushq %0\n\t"
      "popfq\n\t"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
#else
  return false;
#endif
}

}  // namespace

int ztReadOsVersion(ztOsVersion* out) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return 0;
  auto fn = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (!fn) return 0;
  RtlVersionInfo info = {};
  info.size = sizeof info;
  if (fn(&info) != 0) return 0;
  out->platform = info.platform;
  out->major = info.major;
  out->minor = info.minor;
  out->build = info.build;
  return 1;
}

int ztReadProcessor(ztProcessorRecord* out) {
  if (!CpuidAvailable()) return 0;
  out->hasCpuid = 1;
  out->mmx = 0;
#if defined(__i386__) || defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d)) out->mmx = (d >> 23) & 1;
#endif
  return 1;
}
