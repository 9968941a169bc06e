#include "pack/packreport.h"

#include <cstdio>

size_t PackReport::Count(Severity severity) const {
  size_t n = 0;
  for (const Finding& f : findings_) n += f.severity == severity;
  return n;
}

bool PackReport::Has(Severity severity, const std::string& where, const std::string& words) const {
  for (const Finding& f : findings_)
    if (f.severity == severity && f.where == where && f.text.find(words) != std::string::npos) return true;
  return false;
}

std::string PackReport::Lines() const {
  std::string out;
  for (const Finding& f : findings_) {
    out += f.severity == Severity::kError ? "error: " : f.severity == Severity::kWarning ? "warning: " : "note: ";
    if (!f.where.empty()) out += f.where + ": ";
    out += f.text + "\n";
  }
  return out;
}

void ProgressMeter::Show(const std::function<std::string()>& line, bool now) {
  if (!sink_) return;
  const auto t = std::chrono::steady_clock::now();
  if (!now && shown_ && t - last_ < std::chrono::milliseconds(250)) return;
  if (!now && !shown_ && last_ == std::chrono::steady_clock::time_point{}) {
    // The first call starts the clock: a step that ends within a moment
    // shows nothing.
    last_ = t;
    return;
  }
  if (!now && !shown_ && t - last_ < std::chrono::milliseconds(500)) return;
  last_ = t;
  shown_ = true;
  sink_(line());
}

void ProgressMeter::Finish() {
  if (sink_ && shown_) sink_("");
  shown_ = false;
}

std::string SizeText(uint64_t bytes) {
  char text[64];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%u bytes", static_cast<unsigned>(bytes));
  } else {
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes) / 1024;
    int u = 0;
    while (v >= 1024 && u < 3) {
      v /= 1024;
      ++u;
    }
    std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
  }
  return text;
}
