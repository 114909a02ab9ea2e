#pragma once
// The desktop programs' engine thread: one thread owns a ChipSession and runs one job at a
// time on it. The user-interface thread posts a job and goes on; what the job does reaches
// the user interface as events (log lines, progress, memories and fuse bytes read, the
// job's end with its effect on the models). A job that needs a Yes/No answer delivers a
// Question and waits until the user-interface thread calls Answer; the user-interface
// thread never waits for a job, so this cannot deadlock.
//
// Threads: Post, Answer, IsBusy and the rest are for the user-interface thread; Deliver of
// the events given to SetEvents is called on the engine thread.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/worker_events.h"
#include "session/chip_session.h"

namespace bq {

class JobRunner {
 public:
  // What a running job has at hand.
  class Context {
   public:
    Context(JobRunner& runner, ChipSession& session) : runner_(runner), session_(session) {}
    ChipSession& session() { return session_; }
    // Delivers the question and waits for the answer; false (No) when the runner stops.
    bool Ask(const std::string& text, const std::string& caption, bool defaultNo);
    void Deliver(WorkerEvent event) { runner_.Emit(std::move(event)); }
    void Log(LogKind kind, const std::string& text) { Deliver(LogLine{kind, text}); }
    // Runs on the user-interface thread when it receives the job's end.
    std::function<void()> then;

   private:
    JobRunner& runner_;
    ChipSession& session_;
  };
  using Job = std::function<void(Context&)>;

  explicit JobRunner(std::vector<std::shared_ptr<PortDriver>> drivers = {});
  ~JobRunner();  // Stop
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Where the jobs' events go; set before Start. The session's log lines and progress go
  // there too.
  void SetEvents(WorkerEvents* events) { events_ = events; }
  bool Start();
  // Answers a waiting question with No, waits for the running job to end and joins the
  // thread; the session's port is closed.
  void Stop();
  bool IsStarted() const;
  // A job was posted and the engine thread has not finished it.
  bool IsBusy() const;

  // False (nothing done) when not started or busy.
  bool Post(Job job);
  // Runs a short job on the calling thread while the engine thread is idle (a connection
  // test, opening the port at start-up): false when busy. Its `then` runs before it returns.
  bool RunHere(const Job& job);
  // Stops the running job: its operation ends after the exchange in progress and the rest
  // of the job's operations end at once as Cancelled; a question it waits for is answered
  // No. The next job runs normally. False (nothing done) when no job runs.
  bool Cancel();
  // The answer to the Question the running job waits for.
  void Answer(bool yes);
  bool QuestionPending() const;
  // Until the engine thread has finished the job or waits for an answer (tests, front-ends
  // without a message loop). True when it finished.
  bool WaitIdle();

  // The session, for its port list and settings; touch it only while not busy.
  ChipSession& session() { return session_; }

 private:
  void Loop();
  void Emit(WorkerEvent event);
  void OnProgress(const SessionProgress& progress);

  ChipSession session_;
  WorkerEvents* events_ = nullptr;
  bool progressShown_ = false;  // engine thread only
  bool progressBusy_ = false;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Job> job_;
  bool busy_ = false;
  bool stopping_ = false;
  bool asking_ = false;
  std::optional<bool> answer_;
  std::thread thread_;
};

}  // namespace bq
