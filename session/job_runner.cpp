#include "session/job_runner.h"

#include <utility>

namespace bq {

JobRunner::JobRunner(std::vector<std::shared_ptr<PortDriver>> drivers)
    : session_(std::move(drivers)) {
  session_.SetLogObserver([this](LogKind kind, const std::string& text) {
    Emit(LogLine{kind, text});
  });
  session_.SetProgressCallback([this](const SessionProgress& p) { OnProgress(p); });
}

JobRunner::~JobRunner() {
  Stop();
}

bool JobRunner::Start() {
  if (thread_.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void JobRunner::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  session_.Close();
}

bool JobRunner::IsStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable() && !stopping_;
}

bool JobRunner::IsBusy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

bool JobRunner::Post(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || stopping_ || busy_) return false;
    busy_ = true;
    job_ = std::move(job);
  }
  changed_.notify_all();
  return true;
}

bool JobRunner::RunHere(const Job& job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) return false;
    busy_ = true;
  }
  Context context(*this, session_);
  job(context);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
  }
  changed_.notify_all();
  if (context.then) context.then();
  return true;
}

void JobRunner::Loop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || job_.has_value(); });
      if (stopping_) return;
      job = std::move(*job_);
      job_.reset();
    }
    Context context(*this, session_);
    job(context);
    // The end is delivered before the runner is idle, so whoever waits for idle finds it.
    Emit(Finished{0, 0, std::move(context.then)});
    {
      // Under the lock Cancel takes: a stop that comes now cannot reach the next job.
      std::lock_guard<std::mutex> lock(mutex_);
      session_.ClearCancel();
      busy_ = false;
    }
    changed_.notify_all();
  }
}

bool JobRunner::Context::Ask(const std::string& text, const std::string& caption, bool defaultNo) {
  JobRunner& r = runner_;
  {
    std::lock_guard<std::mutex> lock(r.mutex_);
    if (r.stopping_) return false;
    r.asking_ = true;
    r.answer_.reset();
  }
  r.changed_.notify_all();
  r.Emit(Question{text, caption, defaultNo});
  std::unique_lock<std::mutex> lock(r.mutex_);
  r.changed_.wait(lock, [&r] { return r.stopping_ || r.answer_.has_value(); });
  r.asking_ = false;
  const bool yes = r.answer_.value_or(false);
  r.answer_.reset();
  return yes && !r.stopping_;
}

bool JobRunner::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!busy_ || !thread_.joinable()) return false;
    session_.Cancel();
    if (asking_ && !answer_.has_value()) answer_ = false;
  }
  changed_.notify_all();
  return true;
}

void JobRunner::Answer(bool yes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!asking_) return;
    answer_ = yes;
  }
  changed_.notify_all();
}

bool JobRunner::QuestionPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return asking_ && !answer_.has_value();
}

bool JobRunner::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_ || (asking_ && !answer_.has_value()); });
  return !busy_;
}

void JobRunner::Emit(WorkerEvent event) {
  if (events_ != nullptr) events_->Deliver(std::move(event));
}

// The session counts pages; the progress bar wants its style, range and steps.
void JobRunner::OnProgress(const SessionProgress& p) {
  if (p.finished) {
    if (!progressShown_) return;
    if (progressBusy_) Emit(ProgressEvent{ProgressStep::MarqueeStop});
    Emit(ProgressEvent{ProgressStep::Hide});
    progressShown_ = false;
    return;
  }
  if (progressShown_) {
    if (!progressBusy_) Emit(ProgressEvent{ProgressStep::Position, p.done});
    return;
  }
  progressShown_ = true;
  progressBusy_ = p.busy;
  if (p.busy) {
    Emit(ProgressEvent{ProgressStep::Marquee});
    Emit(ProgressEvent{ProgressStep::MarqueeStart});
  } else {
    Emit(ProgressEvent{ProgressStep::Smooth});
    Emit(ProgressEvent{ProgressStep::Range, p.total});
    Emit(ProgressEvent{ProgressStep::Position, p.done});
  }
  Emit(ProgressEvent{ProgressStep::Show});
}

}  // namespace bq
