// The writer every engine shares: writes queue up for one thread that commits them in
// groups. Every write that arrived while the last commit ran goes into the next one, each
// in a savepoint of its own so that one failing write leaves the others and nothing half
// done; replies go out only once the commit returned, that is once the group is durable.
// The engine says how to begin, and which failures pass when the write is tried again.
#pragma once
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "store.h"

namespace dblink {

// What an engine gives the writer: its connection and its transaction control.
template <class Conn>
class WriteEngine {
 public:
  virtual ~WriteEngine() = default;
  // The writer's connection, connected afresh when the last one broke; null when none.
  virtual Conn* Writer() = 0;
  virtual const char* BeginSql() const = 0;
  // A counted statement (BEGIN, SAVEPOINT, COMMIT...), and one run to recover from a
  // failure, which the fault seam leaves alone.
  virtual bool Control(Conn& c, const char* sql) = 0;
  virtual bool Recover(Conn& c, const char* sql) = 0;
  // The connection's last failure may pass if the write is tried again in a later group
  // (a deadlock with another process, a connection that broke before the commit).
  virtual bool Transient(Conn&) { return false; }
  // A savepoint costs a round trip to a server rather than a call in the process.
  virtual bool SavepointsCost() const { return false; }
  // After every group that committed, its replies given.
  virtual void Committed() {}
};

template <class Conn>
class WriteQueue {
 public:
  using Work = std::function<int32_t(Conn&, Row&)>;

  // A write tried this many times in all is not tried again.
  static constexpr int kMaxTries = 4;

  explicit WriteQueue(WriteEngine<Conn>& engine) : engine_(engine) {}
  // Finishes the writes already queued.
  ~WriteQueue() { Stop(); }

  void Start() { thread_ = std::thread([this] { Loop(); }); }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // The queue holds at most one write per connection (a requester waits for each reply),
  // so the connection cap bounds it.
  void Submit(Work run, WriteDone done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopping_) {
        queue_.push_back(Job{std::move(run), std::move(done), 0});
        cv_.notify_one();
        return;
      }
    }
    done(plx::kDbWriteFailure, Row{});
  }

  uint64_t Commits() const { return commits_.load(); }

 private:
  struct Job {
    Work run;
    WriteDone done;
    int tries;
  };

  // Writer niceness: weight about a tenth of a reader thread's.
  static constexpr int kWriterNice = 10;
  static constexpr std::chrono::milliseconds kRetryPause{20};

  void Loop() {
    // Reads come first: the writer runs at a lower priority than the threads that answer
    // reads, so that on a busy machine its groups grow instead of reads waiting for CPU.
    // Lowering one's own priority needs no privilege; if it fails the writer runs as is.
    if (setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), kWriterNice) != 0)
      fprintf(stderr, "dblinkd: writer priority unchanged: %s\n", strerror(errno));
    std::vector<Job> batch, again;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stopping_ || !queue_.empty() || !again.empty(); });
        if (queue_.empty() && again.empty()) return;  // stopping, and every write is done
        batch.swap(again);
        for (Job& j : queue_) batch.push_back(std::move(j));
        queue_.clear();
      }
      RunBatch(batch, again);
      batch.clear();
    }
  }

  // One transaction for the whole group; each write in a savepoint. A write that fails is
  // rolled back to its savepoint alone; a commit that fails fails every write of the
  // group. A write whose failure may pass waits for the next group, after this one's
  // locks are gone. An engine whose savepoints cost a round trip each runs the group
  // without them first, and only when a write fails runs it again with them.
  void RunBatch(std::vector<Job>& batch, std::vector<Job>& again) {
    size_t n = batch.size();
    Group g{std::vector<int32_t>(n, plx::kDbWriteFailure), std::vector<bool>(n, false), std::vector<Row>(n), false};
    Conn* w = engine_.Writer();
    bool begun = w && engine_.Control(*w, engine_.BeginSql());
    if (begun && engine_.SavepointsCost() && RunPlain(*w, batch, g)) {
      Commit(*w, g);
    } else if (begun && (!engine_.SavepointsCost() || engine_.Control(*w, engine_.BeginSql()))) {
      RunCareful(*w, batch, g);
    } else {
      // Nothing began: every write may go again once the connection is back.
      g.retry.assign(n, !w || engine_.Transient(*w));
    }
    for (size_t i = 0; i < n; ++i) {
      if (g.retry[i] && ++batch[i].tries < kMaxTries) {
        again.push_back(std::move(batch[i]));
        continue;
      }
      batch[i].done(g.status[i], g.rows[i]);
    }
    if (g.committed) engine_.Committed();
    // A failure that may pass (a server restarting) is given a moment before the next try.
    if (!again.empty()) std::this_thread::sleep_for(kRetryPause);
  }

  // What became of a group's writes.
  struct Group {
    std::vector<int32_t> status;
    std::vector<bool> retry;
    std::vector<Row> rows;
    bool committed;
  };

  // Every write of the group without savepoints. False, with the transaction rolled back,
  // as soon as one fails.
  bool RunPlain(Conn& w, std::vector<Job>& batch, Group& g) {
    for (size_t i = 0; i < batch.size(); ++i) {
      g.status[i] = batch[i].run(w, g.rows[i]);
      if (g.status[i] != plx::kDbOk) {
        engine_.Recover(w, "ROLLBACK");
        g.status.assign(batch.size(), plx::kDbWriteFailure);
        return false;
      }
    }
    return true;
  }

  void RunCareful(Conn& w, std::vector<Job>& batch, Group& g) {
    size_t n = batch.size();
    size_t unrun = n;  // the first write not run when the group was lost
    bool lost = false, lostTransient = false;
    for (size_t i = 0; i < n && !lost; ++i) {
      if (!engine_.Control(w, "SAVEPOINT job")) {
        // This write alone fails, unless the connection is gone with the whole group.
        if (!engine_.Transient(w)) continue;
        lost = lostTransient = true;
        unrun = i;
        break;
      }
      int32_t s = batch[i].run(w, g.rows[i]);
      if (s == plx::kDbOk && engine_.Control(w, "RELEASE job")) {
        g.status[i] = s;
        continue;
      }
      g.status[i] = s == plx::kDbOk ? plx::kDbWriteFailure : s;
      g.retry[i] = g.status[i] == plx::kDbWriteFailure && engine_.Transient(w);
      // Undo this write alone; if even that fails, nothing of the group may be kept.
      if (!engine_.Recover(w, "ROLLBACK TO job") || !engine_.Recover(w, "RELEASE job")) {
        lost = true;
        lostTransient = g.retry[i] || engine_.Transient(w);
        unrun = i + 1;
      }
    }
    if (!lost) return Commit(w, g);
    // The writes that had passed are undone with the group, and the rest never ran: they
    // go again when the failure may pass.
    engine_.Recover(w, "ROLLBACK");
    for (size_t i = 0; i < n; ++i) {
      if (g.status[i] != plx::kDbOk && i < unrun) continue;
      g.status[i] = plx::kDbWriteFailure;
      g.retry[i] = lostTransient;
    }
  }

  void Commit(Conn& w, Group& g) {
    if (engine_.Control(w, "COMMIT")) {
      commits_.fetch_add(1);
      g.committed = true;
      return;
    }
    // The outcome of a commit that did not answer is unknown: never tried twice.
    engine_.Recover(w, "ROLLBACK");
    for (size_t i = 0; i < g.status.size(); ++i) {
      if (g.status[i] == plx::kDbOk) g.status[i] = plx::kDbWriteFailure;
      g.retry[i] = false;
    }
  }

  WriteEngine<Conn>& engine_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Job> queue_;
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<uint64_t> commits_{0};
};

}  // namespace dblink
