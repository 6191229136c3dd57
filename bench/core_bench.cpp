// Throughput of the parser core alone, against a plain line count of the same buffer.
//
//   corvina_core_bench FILE [RUNS] [CHUNK_THRESHOLD]
//
// Each stage runs RUNS times (default 7) on the same buffer and the median is reported, so
// ratios taken within one run stay meaningful on a noisy machine. The whole parse runs on one
// thread and with the default options (a large statement read in pieces on the usable cores),
// each with the process's CPU time over its wall time. The two take turns, round by round, so
// that a change in the machine's load falls on both, and the speed-up is the median of the
// rounds'. CHUNK_THRESHOLD (bytes) replaces the default size from which a statement is read in
// pieces, to measure where pieces pay.
//
// Two controls take turns with them, each split across as many threads as the parse may use
// against the same work on one thread: a hash of the buffer, which reads it and writes nothing
// (what the cores themselves gain), and a copy of it into memory already touched (what the
// memory gains). With the time the host gave the machine's cores to others meanwhile (the
// kernel's "steal" count, where it keeps one) and the fastest and slowest rounds, they tell a
// parse that scales badly from a machine that did not let it: on a shared host the same
// one-thread parse moves by more than the threads gain from one round to the next.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "chunked_parse.h"
#include "decode.h"
#include "parse_statement.h"
#include "state_machine.h"
#include "tokenizer.h"

namespace {

double median_seconds(int runs, const std::function<size_t()>& body, size_t& sink) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    sink += body();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds of the machine's cores that the host gave to others since boot, summed over the
// cores; 0 where the kernel keeps no such count.
double stolen_seconds() {
  std::ifstream stat("/proc/stat");
  std::string label;
  unsigned long long ticks[8] = {};
  if (!(stat >> label) || label != "cpu") return 0;
  for (unsigned long long& field : ticks) {
    if (!(stat >> field)) return 0;
  }
  return static_cast<double>(ticks[7]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A run's wall time, and its CPU time over its wall time.
struct Timed {
  double seconds;
  double cpu_share;
};
Timed timed(const std::function<size_t()>& body, size_t& sink) {
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  sink += body();
  const auto stop = std::chrono::steady_clock::now();
  const double wall = std::chrono::duration<double>(stop - start).count();
  return {wall, (cpu_seconds() - cpu_start) / wall};
}

// The run of median wall time.
Timed median_run(std::vector<Timed> times) {
  std::sort(times.begin(), times.end(),
            [](const Timed& a, const Timed& b) { return a.seconds < b.seconds; });
  return times[times.size() / 2];
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

size_t count_line_breaks(std::string_view data) {
  size_t count = 0;
  const char* at = data.data();
  const char* end = at + data.size();
  while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
    ++count;
    ++at;
  }
  return count;
}

// FNV-1a, one byte at a time: about a byte per cycle, with no memory written.
uint64_t hash_bytes(std::string_view data) {
  uint64_t hash = 14695981039346656037ull;
  for (const char byte : data) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
  }
  return hash;
}

// Runs work(i, offset, size) for each of `parts` equal parts of `bytes` bytes (the last takes the
// remainder), each on a thread of its own when `threaded`.
void in_parts(size_t bytes, unsigned parts, bool threaded,
              const std::function<void(unsigned, size_t, size_t)>& work) {
  const size_t step = bytes / parts;
  const auto part = [&](unsigned i) {
    work(i, i * step, i + 1 == parts ? bytes - i * step : step);
  };
  if (!threaded) {
    for (unsigned i = 0; i < parts; ++i) part(i);
    return;
  }
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < parts; ++i) threads.emplace_back(part, i);
  part(0);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS] [CHUNK_THRESHOLD]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  const double megabytes = static_cast<double>(data.size()) / 1e6;
  size_t sink = 0;

  const double memchr_time = median_seconds(runs, [&] { return count_line_breaks(data); }, sink);
  const double decode_time = median_seconds(runs, [&] {
    auto decoded = corvina::decode_input(data);
    return decoded ? decoded.value().text().size() : 0;
  }, sink);
  const double tokens_time = median_seconds(runs, [&] {
    auto decoded = corvina::decode_input(data);
    if (!decoded) return size_t{0};
    // Lines as the parse reads them: one at a time, no token list.
    corvina::TokenReader reader(decoded.value().text());
    corvina::Token token;
    size_t count = 0;
    while (reader.next(token) == corvina::TokenReader::Status::Token) ++count;
    return count;
  }, sink);
  // Windows-1251 without hooks is read in its own bytes (parse_cp1251_bytes): its lines, with
  // nothing decoded.
  const bool raw = [&] {
    auto decoded = corvina::decode_input(data, corvina::Cp1251Decoding::Deferred);
    return decoded && decoded.value().deferred;
  }();
  const double raw_tokens_time = raw ? median_seconds(runs, [&] {
    corvina::Cp1251TokenReader reader(data);
    corvina::Token token;
    size_t count = 0;
    while (reader.next(token) == corvina::LineStatus::Token) ++count;
    return count;
  }, sink) : 0;
  size_t documents = 0;
  const auto parse = [&](const corvina::ParseOptions& options) {
    auto statement = corvina::parse_statement(data, {}, options);
    return statement ? statement.value().documents.size() : 0;
  };
  const corvina::ParseOptions one_thread_options{1, 0};
  corvina::ParseOptions default_options;
  if (argc > 3) default_options.chunk_threshold = std::strtoull(argv[3], nullptr, 10);
  std::vector<Timed> one_thread_runs;
  std::vector<Timed> default_runs;
  std::vector<double> speed_ups;
  const unsigned cores = corvina::usable_cores();
  std::vector<uint64_t> hashes(cores);
  const auto hash = [&](bool threaded) {
    in_parts(data.size(), cores, threaded, [&](unsigned i, size_t at, size_t size) {
      hashes[i] = hash_bytes(std::string_view(data).substr(at, size));
    });
    return static_cast<size_t>(hashes[0] | 1);
  };
  std::string copy(data.size(), '\0');
  const auto copy_data = [&](bool threaded) {
    in_parts(data.size(), cores, threaded, [&](unsigned, size_t at, size_t size) {
      std::memcpy(copy.data() + at, data.data() + at, size);
    });
    return copy.size();
  };
  std::vector<Timed> hash_runs;
  std::vector<double> hash_speed_ups;
  std::vector<double> copy_speed_ups;
  const double stolen_before = stolen_seconds();
  const auto rounds_start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) {
    const Timed one = timed([&] { return documents = parse(one_thread_options); }, sink);
    const Timed pieces = timed([&] { return parse(default_options); }, sink);
    one_thread_runs.push_back(one);
    default_runs.push_back(pieces);
    speed_ups.push_back(one.seconds / pieces.seconds);
    const Timed hashed_alone = timed([&] { return hash(false); }, sink);
    const Timed hashed = timed([&] { return hash(true); }, sink);
    hash_runs.push_back(hashed);
    hash_speed_ups.push_back(hashed_alone.seconds / hashed.seconds);
    const Timed copied_alone = timed([&] { return copy_data(false); }, sink);
    const Timed copied = timed([&] { return copy_data(true); }, sink);
    copy_speed_ups.push_back(copied_alone.seconds / copied.seconds);
  }
  const double rounds_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - rounds_start).count();
  // The count is the machine's, over all of its cores, whichever of them this process may use.
  const double online = static_cast<double>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  const double stolen_share = (stolen_seconds() - stolen_before) / (rounds_seconds * online);
  const Timed one_thread = median_run(one_thread_runs);
  const Timed pieces = median_run(default_runs);
  const double parse_time = pieces.seconds;

  std::printf("input: %.1f MB, %zu documents, median of %d runs\n", megabytes, documents, runs);
  const auto report = [&](const char* stage, double seconds) {
    std::printf("%-28s %9.1f MB/s  %6.2fx memchr\n", stage, megabytes / seconds,
                seconds / memchr_time);
  };
  report("memchr line count", memchr_time);
  report("decode, whole text", decode_time);
  report("decode + lines, whole text", tokens_time);
  if (raw) report("lines of the bytes", raw_tokens_time);
  report("whole parse, one thread", one_thread.seconds);
  report("whole parse", parse_time);
  std::printf("whole parse: %.2fx one thread on up to %u cores (CPU/wall %.2f, one thread %.2f)\n",
              median(speed_ups), cores, pieces.cpu_share, one_thread.cpu_share);
  // The first round also maps the memory that the later ones reuse.
  const auto spread = [runs](const std::vector<Timed>& rounds) {
    const auto [fastest, slowest] = std::minmax_element(
        rounds.begin() + (runs > 1 ? 1 : 0), rounds.end(),
        [](const Timed& a, const Timed& b) { return a.seconds < b.seconds; });
    return std::pair{fastest->seconds * 1e3, slowest->seconds * 1e3};
  };
  const auto [one_fastest, one_slowest] = spread(one_thread_runs);
  const auto [fastest, slowest] = spread(default_runs);
  std::printf("fastest and slowest round after the first: one thread %.1f and %.1f ms, "
              "default %.1f and %.1f ms\n",
              one_fastest, one_slowest, fastest, slowest);
  std::printf("controls on %u threads against one: a hash of the input %.2fx (CPU/wall %.2f), "
              "a copy of it %.2fx\n",
              cores, median(hash_speed_ups), median_run(hash_runs).cpu_share,
              median(copy_speed_ups));
  std::printf("taken by the host meanwhile: %.1f%% of the machine's cores' time\n",
              100 * stolen_share);
  return sink == 0 ? 1 : 0;
}
