// The accessor's Value write (create key, set, close) and Value read (open, size query, data query,
// close) over 100 value names, on the registry the build talks to: the registry store natively, the
// registry itself in the Windows build (Wine's when run here). bench/registry/run.sh puts both side by
// side.
//
//   registry_bench rw [--store PATH] [--seconds S]      prints "writes/s reads/s"
//   registry_bench list [--store PATH]                 prints "seconds" to list 5,000 sub-keys
//   registry_bench transaction [--store PATH]          prints "seconds cpu-seconds" for 100,000 values set in 10,000
//       newly created keys as one RunAsOneTransaction (on the seam; each call its own write where
//       transactions are not supported), checking afterwards that all of them landed
//   registry_bench concurrent --store PATH [--processes N] [--seconds S]   (native only)
//       N processes write to one store for S seconds; each counts the writes it was told succeeded and
//       the errors it saw, and writes and reads ten shared values, counting torn reads; afterwards
//       every counted write is checked to be there. Prints the largest -wal size seen.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <cregistry/RegistryTransaction.h>
#include <cregistry/cRegistry.h>

#ifndef _WIN32
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cregistry/Store.h>
#endif

namespace {

using namespace cregistry;
using Clock = std::chrono::steady_clock;

constexpr int kNames = 100;

std::shared_ptr<RegistryApi> Api(const std::string& store) {
#ifdef _WIN32
  (void)store;
  return DefaultRegistryApi();
#else
  return store.empty() ? DefaultRegistryApi() : OpenRegistryStore(store);
#endif
}

std::string Name(int i) { return "Value" + std::to_string(i); }

// Runs rounds of body over the 100 names for about `seconds`; answers operations per second.
template <class Body>
double Measure(double seconds, Body&& body) {
  long ops = 0;
  auto start = Clock::now();
  auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  do {
    for (int i = 0; i < kNames; ++i) body(i);
    ops += kNames;
  } while (Clock::now() < until);
  return static_cast<double>(ops) / std::chrono::duration<double>(Clock::now() - start).count();
}

int ReadWrite(const std::string& store, double seconds) {
  auto api = Api(store);
  const std::string section = "Software\\cregistry-bench\\rw";
  cRegistry reg(api);
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.SectionKey(section);
  reg.ValueType(REG_DWORD);
  reg.Default(Variant(std::int32_t{-1}));
  long checksum = 0;
  // Warm-up: every name exists before the timed rounds.
  for (int i = 0; i < kNames; ++i) {
    reg.ValueKey(Name(i));
    reg.Value(Variant(std::int32_t{i}));
  }
  std::int32_t round = 0;
  double writes = Measure(seconds, [&](int i) {
    reg.ValueKey(Name(i));
    reg.ValueType(REG_DWORD);
    reg.Value(Variant(std::int32_t{i + round}));
    if (i == kNames - 1) ++round;
  });
  double reads = Measure(seconds, [&](int i) {
    reg.ValueKey(Name(i));
    checksum += reg.Value().AsLong();
  });
  // Every read found its value (a missing one would read as the default, -1).
  for (int i = 0; i < kNames; ++i) {
    reg.ValueKey(Name(i));
    if (reg.Value().AsLong() < i) {
      std::fprintf(stderr, "registry_bench: %s lost its value\n", Name(i).c_str());
      return 1;
    }
  }
  for (int i = 0; i < kNames; ++i) {
    reg.ValueKey(Name(i));
    reg.DeleteValue();
  }
  std::printf("%.0f %.0f\n", writes, reads);
  std::fprintf(stderr, "(checksum %ld)\n", checksum);
  return 0;
}

#ifndef _WIN32
// A shared text of length n: n copies of one letter that depends on n, so that any mix of two texts (a
// newer, shorter one padded to the old length, a run of NULs) is seen.
std::string SharedText(long n) { return std::string(static_cast<std::size_t>(n), static_cast<char>('a' + n % 26)); }
bool IsSharedText(const std::string& text) { return !text.empty() && text == SharedText(static_cast<long>(text.size())); }

long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// N processes for S seconds, each writing values of its own (counted, and checked afterwards) and, in
// turn, writing and reading ten values that all of them share (texts of changing length, every read
// checked whole). Meanwhile the -wal file's size is watched.
int Concurrent(const std::string& store, int processes, double seconds) {
  struct Child {
    pid_t pid;
    int fd;
  };
  std::vector<Child> children;
  for (int p = 0; p < processes; ++p) {
    int fds[2];
    if (pipe(fds) != 0) return 2;
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      close(fds[0]);
      cRegistry reg(OpenRegistryStore(store));
      reg.ClassKey(HKEY_CURRENT_USER);
      long ok = 0, errors = 0, reads = 0, torn = 0;
      auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
      for (long round = 0; Clock::now() < until; ++round) {
        try {
          reg.SectionKey("Software\\cregistry-bench\\concurrent\\p" + std::to_string(p));
          reg.ValueType(REG_DWORD);
          reg.ValueKey("w" + std::to_string(ok));
          reg.Value(Variant(static_cast<std::int32_t>(ok)));
          ++ok;
          reg.SectionKey("Software\\cregistry-bench\\concurrent\\shared");
          reg.ValueKey("s" + std::to_string(round % 10));
          reg.ValueType(REG_SZ);
          if (round % 3 == 0) reg.Value(Variant(SharedText(1 + (round * 7 + p * 13) % 300)));
          reg.Default(Variant(std::string()));
          std::string text = reg.Value().ToText();
          ++reads;
          if (!text.empty() && !IsSharedText(text)) ++torn;
        } catch (const RegistryError& e) {
          ++errors;
          std::fprintf(stderr, "process %d: error %d %s\n", p, e.number(), e.description().c_str());
        }
      }
      long counts[4] = {ok, errors, reads, torn};
      ssize_t n = write(fds[1], counts, sizeof counts);
      _exit(n == static_cast<ssize_t>(sizeof counts) ? 0 : 3);
    }
    close(fds[1]);
    children.push_back({pid, fds[0]});
  }
  // Watch the -wal file until every child has reported.
  const std::string wal = store + "-wal";
  long largestWal = 0;
  std::vector<pollfd> fds;
  for (auto& c : children) fds.push_back({c.fd, POLLIN, 0});
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds + 120));
  for (std::size_t done = 0; done < fds.size() && Clock::now() < deadline;) {
    largestWal = std::max(largestWal, FileSize(wal));
    if (poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (auto& f : fds) {
      if (f.fd >= 0 && (f.revents & (POLLIN | POLLHUP)) != 0) {
        f.fd = -1;  // reported: poll passes over it from now on
        ++done;
      }
    }
  }
  long totalOk = 0, totalErrors = 0, totalReads = 0, totalTorn = 0, missing = 0;
  std::vector<long> oks;
  for (auto& c : children) {
    long counts[4] = {0, 0, 0, 0};
    if (read(c.fd, counts, sizeof counts) != static_cast<ssize_t>(sizeof counts)) counts[1] = -1;
    close(c.fd);
    int status = 0;
    waitpid(c.pid, &status, 0);
    oks.push_back(counts[0]);
    totalOk += counts[0];
    totalErrors += counts[1] < 0 ? 1 : counts[1];
    totalReads += counts[2];
    totalTorn += counts[3];
  }
  const long walAfterRun = FileSize(wal);
  largestWal = std::max(largestWal, walAfterRun);
  cRegistry reg(OpenRegistryStore(store));
  reg.ClassKey(HKEY_CURRENT_USER);
  reg.Default(Variant(std::int32_t{-1}));
  for (int p = 0; p < processes; ++p) {
    reg.SectionKey("Software\\cregistry-bench\\concurrent\\p" + std::to_string(p));
    for (long k = 0; k < oks[static_cast<std::size_t>(p)]; ++k) {
      reg.ValueKey("w" + std::to_string(k));
      if (reg.Value().AsLong() != k) ++missing;
    }
  }
  // One more write after the run: it must not pay for the run's log.
  auto write = Clock::now();
  reg.SectionKey("Software\\cregistry-bench\\concurrent");
  reg.ValueKey("after");
  reg.ValueType(REG_DWORD);
  reg.Value(Variant(std::int32_t{1}));
  const double writeAfter = std::chrono::duration<double>(Clock::now() - write).count();
  const bool good = totalErrors == 0 && missing == 0 && totalOk > 0 && totalTorn == 0;
  std::printf("processes %d, seconds %.0f: writes reported successful %ld (", processes, seconds, totalOk);
  for (std::size_t p = 0; p < oks.size(); ++p) std::printf("%s%ld", p ? " + " : "", oks[p]);
  std::printf("), errors seen %ld, missing afterwards %ld, shared reads %ld of which torn %ld -> %s\n", totalErrors,
              missing, totalReads, totalTorn, good ? "OK" : "FAILED");
  std::printf("largest -wal seen %.1f MiB, -wal after the run %.1f MiB, after the check %.1f MiB; database %.1f MiB; "
              "a write after the run %.3f s\n",
              largestWal / 1048576.0, walAfterRun / 1048576.0, FileSize(wal) / 1048576.0, FileSize(store) / 1048576.0,
              writeAfter);
  return good ? 0 : 1;
}
#endif

// Lists a key of 5,000 sub-keys with EnumerateSections (the size of a well-filled HKEY_CLASSES_ROOT);
// prints the seconds one listing takes.
int List(const std::string& store) {
  constexpr int kKeys = 5000;
  cRegistry reg(Api(store));
  reg.ClassKey(HKEY_CURRENT_USER);
  for (int i = 0; i < kKeys; ++i) {
    reg.SectionKey("Software\\cregistry-bench\\list\\k" + std::to_string(i));
    reg.CreateKey();
  }
  reg.SectionKey("Software\\cregistry-bench\\list");
  std::vector<std::string> names;
  std::int32_t count = 0;
  auto start = Clock::now();
  reg.EnumerateSections(names, count);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const auto& name : names) {
    reg.SectionKey("Software\\cregistry-bench\\list\\" + name);
    reg.DeleteKey();
  }
  if (count != kKeys) {
    std::fprintf(stderr, "registry_bench: listed %d of %d sub-keys\n", count, kKeys);
    return 1;
  }
  std::printf("%.4f\n", seconds);
  return 0;
}

// 10,000 keys created with CreateKey, ten values set in each, all as one transaction.
int Transaction(const std::string& store) {
  constexpr int kKeys = 10000, kValuesPerKey = 10;
  auto api = Api(store);
  const RegHandle user = RootHandle(static_cast<std::int32_t>(0x80000001u));
  const std::string base = "Software\\cregistry-bench\\transaction";
  auto start = Clock::now();
  const std::clock_t cpuStart = std::clock();
  long rc = RunAsOneTransaction(*api, [&]() -> long {
    for (int k = 0; k < kKeys; ++k) {
      KeyHandle key(*api);
      std::string path = base + "\\k" + std::to_string(k);
      if (long r = api->CreateKey(user, path.c_str(), win32::kKeySpecificRights, key.out())) return r;
      for (std::int32_t v = 0; v < kValuesPerKey; ++v) {
        std::int32_t data = k * kValuesPerKey + v;
        if (long r = api->SetValue(key.get(), Name(v).c_str(), REG_DWORD, reinterpret_cast<const std::uint8_t*>(&data), 4)) return r;
      }
    }
    return 0;
  });
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  if (rc != 0) {
    std::fprintf(stderr, "registry_bench: the transaction answered %ld\n", rc);
    return 1;
  }
  cRegistry reg(api);
  reg.ClassKey(HKEY_CURRENT_USER);
  long missing = 0;
  for (int k = 0; k < kKeys; k += 97) {
    reg.SectionKey(base + "\\k" + std::to_string(k));
    reg.Default(Variant(std::int32_t{-1}));
    for (int v = 0; v < kValuesPerKey; ++v) {
      reg.ValueKey(Name(v));
      missing += reg.Value().AsLong() != k * kValuesPerKey + v;
    }
  }
  for (int k = 0; k < kKeys; ++k) {
    reg.SectionKey(base + "\\k" + std::to_string(k));
    reg.DeleteKey();
  }
  if (missing != 0) {
    std::fprintf(stderr, "registry_bench: %ld values did not land\n", missing);
    return 1;
  }
  std::printf("%.4f %.4f\n", seconds, cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  std::string store;
  double seconds = 2;
  [[maybe_unused]] int processes = 4;  // the concurrent run is native only
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--store") {
      store = argv[i + 1];
    } else if (arg == "--seconds") {
      seconds = std::atof(argv[i + 1]);
    } else if (arg == "--processes") {
      processes = std::atoi(argv[i + 1]);
    }
  }
  try {
    if (mode == "rw") return ReadWrite(store, seconds);
    if (mode == "list") return List(store);
    if (mode == "transaction") return Transaction(store);
#ifndef _WIN32
    if (mode == "concurrent" && !store.empty()) return Concurrent(store, processes, seconds);
#endif
  } catch (const RegistryError& e) {
    std::fprintf(stderr, "registry_bench: error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
  std::fprintf(stderr, "usage: %s rw [--store PATH] [--seconds S] | list [--store PATH] | transaction [--store PATH] | concurrent --store PATH [--processes N] [--seconds S]\n",
               argv[0]);
  return 2;
}
