#include "reader/TwoFileScan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "delta/Adler32.h"
#include "delta/Vcdiff.h"

namespace {

// Files are read in chunks of this size, small enough that a chunk is
// still in the processor's cache when it is summed and compared.
constexpr int64_t kChunk = int64_t{256} << 10;

// The first and the last place where a[0..n) and b[0..n) differ, in steps
// that memcmp takes fast; -1 where they agree.
constexpr std::size_t kStride = 256;

int64_t firstDifference(const char* a, const char* b, std::size_t n) {
  for (std::size_t at = 0; at < n; at += kStride) {
    const std::size_t m = std::min(kStride, n - at);
    if (std::memcmp(a + at, b + at, m) == 0) continue;
    for (std::size_t i = at;; ++i) {
      if (a[i] != b[i]) return static_cast<int64_t>(i);
    }
  }
  return -1;
}

int64_t lastDifference(const char* a, const char* b, std::size_t n) {
  for (std::size_t end = n; end > 0;) {
    const std::size_t m = std::min(kStride, end);
    end -= m;
    if (std::memcmp(a + end, b + end, m) == 0) continue;
    for (std::size_t i = end + m; i-- > end;) {
      if (a[i] != b[i]) return static_cast<int64_t>(i);
    }
  }
  return -1;
}

// A part of a pair that one thread compares: `at` in the thread's own
// file, `other` in the other file.
struct Job {
  int64_t at, other, length;
  std::size_t pair;
  int64_t within;  // where the part starts within its pair
};

// One thread's part: reads its file in chunks, handing each to `take`,
// and compares each chunk with the bytes of the other file that its jobs
// (sorted by `at`) name, widening `differences`. Where its file is not
// summed (`whole` false), only the chunks that jobs need are read.
struct Side {
  const FileView& ours;
  const FileView& theirs;
  std::vector<Job> jobs;
  bool whole = false;
  int error = 0;            // of a read that failed ...
  bool theirsFailed = false;  // ... of the other file, else of this one

  template <class Take>
  bool run(std::vector<ScanDifference>& differences, const std::atomic<bool>& stop, Take take) {
    std::unique_ptr<char[]> chunk(new char[kChunk]), other(new char[kChunk]);
    std::size_t next = 0;
    std::vector<std::size_t> open;  // jobs begun and not yet ended
    for (int64_t at = 0; at < ours.size() && !stop.load(std::memory_order_relaxed); at += kChunk) {
      const int64_t end = std::min(ours.size(), at + kChunk);
      while (next < jobs.size() && jobs[next].at < end) open.push_back(next++);
      if (!whole && open.empty()) {
        if (next == jobs.size()) break;
        continue;
      }
      const std::size_t n = static_cast<std::size_t>(end - at);
      if (!ours.read(at, chunk.get(), n)) return fail(false);
      take(chunk.get(), n);
      for (std::size_t j : open) {
        const Job& job = jobs[j];
        const int64_t from = std::max(at, job.at), to = std::min(end, job.at + job.length);
        if (from >= to) continue;
        const std::size_t m = static_cast<std::size_t>(to - from);
        if (!theirs.read(job.other + (from - job.at), other.get(), m)) return fail(true);
        const char* mine = chunk.get() + (from - at);
        if (std::memcmp(mine, other.get(), m) == 0) continue;
        // Only this thread touches this pair's part; pairs split between the
        // threads are joined afterwards.
        ScanDifference& d = differences[j];
        const int64_t base = job.within + (from - job.at);
        if (d.first < 0) d.first = base + firstDifference(mine, other.get(), m);
        d.last = base + lastDifference(mine, other.get(), m);
      }
      std::erase_if(open, [&](std::size_t j) { return jobs[j].at + jobs[j].length <= end; });
    }
    return true;
  }

  bool fail(bool theirs) {
    error = errno;
    theirsFailed = theirs;
    return false;
  }
};

// Pairs are cut into parts of at most this size, dealt to the threads.
constexpr int64_t kPart = int64_t{4} << 20;

}  // namespace

bool TwoFileScan::run(const FileView& olds, const FileView& news) {
  differences.assign(pairs.size(), {});
  windowChecksums.clear();
  error = 0;
  newFailed = false;

  // Each thread reads and sums its own file: the old one on the caller's
  // thread, the new one, with its windows' checksums, on another. The
  // comparisons are dealt between them, the new file's thread taking the
  // smaller share for the checksums it also takes: kNewShare in 1024ths.
  const int64_t kNewShare = sums ? 300 : 512;
  Side oldSide{olds, news, {}, sums}, newSide{news, olds, {}, sums};
  int64_t dealt = 0, toNew = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const ScanPair& p = pairs[i];
    for (int64_t within = 0; within < p.length; within += kPart) {
      const int64_t n = std::min(kPart, p.length - within);
      dealt += n;
      if (toNew * 1024 < dealt * kNewShare) {
        toNew += n;
        newSide.jobs.push_back({p.newAt + within, p.oldAt + within, n, i, within});
      } else {
        oldSide.jobs.push_back({p.oldAt + within, p.newAt + within, n, i, within});
      }
    }
  }
  // Each side's findings, by job, joined into the pairs' afterwards.
  std::vector<ScanDifference> oldFound(oldSide.jobs.size()), newFound(newSide.jobs.size());
  for (Side* side : {&oldSide, &newSide}) {
    std::stable_sort(side->jobs.begin(), side->jobs.end(), [](const Job& a, const Job& b) { return a.at < b.at; });
  }

  std::atomic<bool> stop{false};  // one side failed: the other's work is not wanted
  vcdiff::Summer oldSummer, newSummer;
  uint32_t window = adler32::kStart;
  int64_t inWindow = 0;
  bool newDone = true;
  const auto newPart = [&] {
    newDone = newSide.run(newFound, stop, [&](const char* p, std::size_t n) {
      if (!sums) return;
      newSummer.update(p, n);
      for (std::size_t done = 0; done < n;) {
        const std::size_t take =
            static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(n - done), vcdiff::kWindowSize - inWindow));
        window = adler32::update(window, p + done, take);
        done += take;
        inWindow += static_cast<int64_t>(take);
        if (inWindow == vcdiff::kWindowSize) {
          windowChecksums.push_back(window);
          window = adler32::kStart;
          inWindow = 0;
        }
      }
    });
    if (!newDone) stop.store(true);
  };
  const auto oldPart = [&] {
    return oldSide.run(oldFound, stop, [&](const char* p, std::size_t n) {
      if (sums) oldSummer.update(p, n);
    });
  };
#if defined(__EMSCRIPTEN__)
  // One thread in the page: the two parts in turn.
  newPart();
  const bool oldDone = newDone && oldPart();
#else
  std::thread newThread(newPart);
  const bool oldDone = oldPart();
  if (!oldDone) stop.store(true);
  newThread.join();
#endif

  if (!oldDone || !newDone) {
    const Side& failed = !oldDone ? oldSide : newSide;
    error = failed.error;
    newFailed = (&failed == &newSide) != failed.theirsFailed;
    return false;
  }
  for (const auto& [side, found] : {std::pair{&oldSide, &oldFound}, std::pair{&newSide, &newFound}}) {
    for (std::size_t j = 0; j < side->jobs.size(); ++j) {
      const ScanDifference& f = (*found)[j];
      if (f.none()) continue;
      ScanDifference& d = differences[side->jobs[j].pair];
      d.first = d.first < 0 ? f.first : std::min(d.first, f.first);
      d.last = std::max(d.last, f.last);
    }
  }
  if (sums) {
    if (inWindow > 0) windowChecksums.push_back(window);
    oldSum = oldSummer.sum();
    newSum = newSummer.sum();
  }
  return true;
}
