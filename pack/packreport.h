// What ztpack's commands find: errors (the package would fail in front of a
// user, or cannot be made), warnings (it works, but probably not as meant)
// and notes (facts worth a line). Each names the file and, where there is
// one, the element concerned, and says what to do.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class Severity { kError, kWarning, kNote };

struct Finding {
  Severity severity;
  std::string where;  // "updateinfo.xml: jp/message/intoro", "data\bin\game.dll", ...
  std::string text;
};

class PackReport {
 public:
  void Error(const std::string& where, const std::string& text) { Add(Severity::kError, where, text); }
  void Warning(const std::string& where, const std::string& text) { Add(Severity::kWarning, where, text); }
  void Note(const std::string& where, const std::string& text) { Add(Severity::kNote, where, text); }
  void Add(Severity severity, const std::string& where, const std::string& text) {
    findings_.push_back({severity, where, text});
  }

  size_t Count(Severity severity) const;
  size_t Errors() const { return Count(Severity::kError); }
  const std::vector<Finding>& Findings() const { return findings_; }
  // Whether a finding of `severity` names `where` (exactly) and its text
  // contains `words`.
  bool Has(Severity severity, const std::string& where, const std::string& words = "") const;
  // One line per finding, "error: where: text".
  std::string Lines() const;

 private:
  std::vector<Finding> findings_;
};

// Receives the status line of a long step; an empty line ends it.
using ProgressSink = std::function<void(const std::string& line)>;

// Shows a step's status at most a few times a second.
class ProgressMeter {
 public:
  explicit ProgressMeter(const ProgressSink& sink) : sink_(sink) {}
  ~ProgressMeter() { Finish(); }
  // The status, built only when it is time to show it.
  void Show(const std::function<std::string()>& line, bool now = false);
  void Finish();

 private:
  ProgressSink sink_;
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
};

// "12.3 MiB", "512 bytes".
std::string SizeText(uint64_t bytes);
