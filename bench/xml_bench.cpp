// XML parse, query and save times on generated documents of about 100 KB,
// 1 MB and 10 MB, with tinyxml2 on the same bytes as the reference.
//
//   xml_bench                      the timings (Google Benchmark flags apply)
//   xml_bench --memory=SHAPE       peak memory of loading the 10 MB document
//   xml_bench --tinyxml2-memory=SHAPE   the same for tinyxml2
//   xml_bench --large              adds 100 MB documents
//   xml_bench --fresh-memory       timings with the allocator returning memory
//                                  to the system after every document
//
// Shapes: siblings (one long list of small elements with attributes), deep
// (nested chains; tinyxml2 refuses more than 100 levels, so 90), comments
// (half of the bytes in comments that hold "<" and ">"), longtext (4 KB
// texts), mixed (all of these).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

#include "platform/ztHeap.h"
#include "xml/ztXml.h"
#include "xml/ztXmlParser.h"

namespace {

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
const char* const kShapes[] = {"siblings", "deep", "comments", "longtext", "mixed"};
const size_t kSizes[] = {100 * 1024, 1024 * 1024, 10 * 1024 * 1024};

void Siblings(std::string& s, size_t n) {
  s += "  <item id=\"" + std::to_string(n) + "\" kind=\"k" + std::to_string(n % 7) + "\">value " +
       std::to_string(n) + "</item>\r\n";
}

void Deep(std::string& s, size_t n) {
  const int depth = 90;
  for (int i = 0; i < depth; ++i) s += "<d>";
  s += "leaf " + std::to_string(n);
  for (int i = 0; i < depth; ++i) s += "</d>";
  s += "\r\n";
}

void Comment(std::string& s, size_t n) {
  s += "  <!-- note " + std::to_string(n) + ": <b>markup</b> a > b, kept out of the tree -->\r\n";
  Siblings(s, n);
}

void LongText(std::string& s, size_t n) {
  s += "  <text n=\"" + std::to_string(n) + "\">";
  for (int i = 0; i < 64; ++i) s += "The quick brown fox jumps over the lazy dog. 0123456789 abcdefghij ";
  s += "</text>\r\n";
}

std::string Generate(const std::string& shape, size_t size) {
  std::string s = kDecl;
  s += "<document>\r\n";
  s.reserve(size + 8192);
  for (size_t n = 0; s.size() < size; ++n) {
    if (shape == "siblings") {
      Siblings(s, n);
    } else if (shape == "deep") {
      Deep(s, n);
    } else if (shape == "comments") {
      Comment(s, n);
    } else if (shape == "longtext") {
      LongText(s, n);
    } else {
      switch (n % 8) {
        case 0:
          Deep(s, n);
          break;
        case 1:
          LongText(s, n);
          break;
        case 2:
        case 3:
          Comment(s, n);
          break;
        default:
          Siblings(s, n);
      }
    }
  }
  s += "</document>\r\n";
  return s;
}

const std::string& Input(const std::string& shape, size_t size) {
  static std::map<std::pair<std::string, size_t>, std::string> cache;
  auto key = std::make_pair(shape, size);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, Generate(shape, size)).first;
  return it->second;
}

std::string Label(const std::string& shape, size_t size) {
  return shape + "/" + (size >= 1024 * 1024 ? std::to_string(size >> 20) + "MB" : std::to_string(size >> 10) + "KB");
}

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// ---- zt ------------------------------------------------------------------------

// Parser only: tokens, comments, element tree.
void ZtParse(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  while (state.KeepRunning()) {
    ztXmlParser p;
    int32_t code = p.Parse(in.data(), static_cast<int32_t>(in.size()));
    if (code) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(p.GetRoot());
  }
  SetBytes(state, in.size());
}

// A whole load as the library's users see it: parse and conversion to nodes.
void ZtLoad(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  while (state.KeepRunning()) {
    ztXml x;
    if (!x.OpenMem(in.data(), static_cast<int32_t>(in.size()))) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(x.GetNodes());
  }
  SetBytes(state, in.size());
}

// Queries on a loaded document: a name that is not there (a scan of the
// whole top-level list) and a hit at the front.
void ZtQuery(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  ztXml x;
  if (!x.OpenMem(in.data(), static_cast<int32_t>(in.size()))) {
    state.SkipWithError("the document did not load");
    return;
  }
  char out[256];
  while (state.KeepRunning()) {
    benchmark::DoNotOptimize(x.GetInt(-1, 1, "missing"));
    benchmark::DoNotOptimize(x.GetText(out, "", 1, "item"));
    benchmark::DoNotOptimize(x.GetText(out, "", 3, "d", "d", "d"));
  }
}

void ZtSave(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  ztXml x;
  if (!x.OpenMem(in.data(), static_cast<int32_t>(in.size()))) {
    state.SkipWithError("the document did not load");
    return;
  }
  std::string path = "/tmp/zt_xml_bench_" + std::to_string(getpid()) + ".xml";
  std::u16string wpath(path.begin(), path.end());
  while (state.KeepRunning()) {
    x.Save(wpath.c_str());
    if (x.LastErrorCode()) state.SkipWithError("save failed");
  }
  std::remove(path.c_str());
  SetBytes(state, in.size());
}

// ---- tinyxml2 -------------------------------------------------------------------

void TxParse(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  while (state.KeepRunning()) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(in.data(), in.size()) != tinyxml2::XML_SUCCESS) state.SkipWithError(doc.ErrorStr());
    benchmark::DoNotOptimize(doc.RootElement());
  }
  SetBytes(state, in.size());
}

void TxQuery(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  tinyxml2::XMLDocument doc;
  doc.Parse(in.data(), in.size());
  tinyxml2::XMLElement* root = doc.RootElement();
  while (state.KeepRunning()) {
    benchmark::DoNotOptimize(root->FirstChildElement("missing"));
    benchmark::DoNotOptimize(root->LastChildElement("item"));
    tinyxml2::XMLElement* d = root->LastChildElement("d");
    if (d) d = d->FirstChildElement("d");
    if (d) d = d->FirstChildElement("d");
    benchmark::DoNotOptimize(d ? d->GetText() : nullptr);
  }
}

void TxSave(benchmark::State& state, const std::string& shape, size_t size) {
  const std::string& in = Input(shape, size);
  tinyxml2::XMLDocument doc;
  doc.Parse(in.data(), in.size());
  std::string path = "/tmp/tx_xml_bench_" + std::to_string(getpid()) + ".xml";
  while (state.KeepRunning()) {
    if (doc.SaveFile(path.c_str()) != tinyxml2::XML_SUCCESS) state.SkipWithError("save failed");
  }
  std::remove(path.c_str());
  SetBytes(state, in.size());
}

void Register(bool large) {
  std::vector<size_t> sizes(std::begin(kSizes), std::end(kSizes));
  // 100 MB as well, to see the growth between sizes that are all well past
  // the processor's caches (from 1 MB to 10 MB the input leaves them).
  if (large) sizes.push_back(100 * 1024 * 1024);
  for (const char* shape : kShapes) {
    for (size_t size : sizes) {
      std::string l = Label(shape, size);
      benchmark::RegisterBenchmark(("zt_parse/" + l).c_str(), ZtParse, shape, size)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("tinyxml2_parse/" + l).c_str(), TxParse, shape, size)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("zt_load/" + l).c_str(), ZtLoad, shape, size)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("zt_query/" + l).c_str(), ZtQuery, shape, size)->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("tinyxml2_query/" + l).c_str(), TxQuery, shape, size)->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("zt_save/" + l).c_str(), ZtSave, shape, size)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("tinyxml2_save/" + l).c_str(), TxSave, shape, size)->Unit(benchmark::kMillisecond);
    }
  }
}

long PeakKb() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Peak resident memory of one load of the 10 MB document, in a process that
// has done nothing else: the growth of the peak over the input's own size.
int MemoryReport(const std::string& shape) {
  const size_t size = 10 * 1024 * 1024;
  std::string in = Generate(shape, size);
  long before = PeakKb();
  long parserPeak = 0;
  {
    ztXmlParser p;
    if (p.Parse(in.data(), static_cast<int32_t>(in.size()))) return 1;
    parserPeak = PeakKb();
  }
  long afterParser = PeakKb();
  {
    ztXml x;
    if (!x.OpenMem(in.data(), static_cast<int32_t>(in.size()))) return 1;
  }
  long afterLoad = PeakKb();
  {
    tinyxml2::XMLDocument doc;
    doc.Parse(in.data(), in.size());
  }
  long afterTx = PeakKb();
  double mb = in.size() / 1048576.0;
  std::printf("memory %s: input %.1f MB; peak RSS before %.1f MB; parser alone +%.1f MB (%.2fx input); "
              "ztXml load +%.1f MB (%.2fx input); tinyxml2 (after, so only growth beyond that peak) +%.1f MB\n",
              shape.c_str(), mb, before / 1024.0, (parserPeak - before) / 1024.0, (parserPeak - before) / 1024.0 / mb,
              (afterLoad - before) / 1024.0, (afterLoad - before) / 1024.0 / mb, (afterTx - afterLoad) / 1024.0);
  (void)afterParser;
  return 0;
}

}  // namespace

// tinyxml2's own peak, in a process that has done nothing else.
static int TinyMemoryReport(const std::string& shape) {
  std::string in = Generate(shape, 10 * 1024 * 1024);
  long before = PeakKb();
  {
    tinyxml2::XMLDocument doc;
    doc.Parse(in.data(), in.size());
  }
  double mb = in.size() / 1048576.0;
  std::printf("memory %s: tinyxml2 parse +%.1f MB (%.2fx input)\n", shape.c_str(), (PeakKb() - before) / 1024.0,
              (PeakKb() - before) / 1024.0 / mb);
  return 0;
}

// Removes `flag` from the arguments; whether it was there.
static bool TakeFlag(int* argc, char** argv, const char* flag) {
  for (int i = 1; i < *argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) {
      for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
      --*argc;
      return true;
    }
  }
  return false;
}

int main(int argc, char** argv) {
  ztHeapCreate(0xA00000);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--memory=", 9) == 0) return MemoryReport(argv[i] + 9);
    if (std::strncmp(argv[i], "--tinyxml2-memory=", 18) == 0) return TinyMemoryReport(argv[i] + 18);
  }
  // Keep freed memory in the process: otherwise every iteration of a large
  // document maps fresh pages, and on a virtual machine the page faults cost
  // more than the parsing, for zt and tinyxml2 alike. With --fresh-memory the
  // allocator keeps its defaults.
  bool fresh = TakeFlag(&argc, argv, "--fresh-memory");
  bool large = TakeFlag(&argc, argv, "--large");
  if (!fresh) {
    mallopt(M_MMAP_THRESHOLD, 512 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
  }
  Register(large);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
