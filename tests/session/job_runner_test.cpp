// The desktop's engine thread: one job at a time, questions that wait for the user-interface
// thread's answer, and a stop that never hangs on an unanswered question.

#include "session/job_runner.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace bq {
namespace {

class Collected : public WorkerEvents {
 public:
  void Deliver(WorkerEvent event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<Question> Questions() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Question> out;
    for (const WorkerEvent& e : events_) {
      if (const auto* q = std::get_if<Question>(&e)) out.push_back(*q);
    }
    return out;
  }
  int Finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const WorkerEvent& e : events_) n += std::holds_alternative<bq::Finished>(e) ? 1 : 0;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<WorkerEvent> events_;
};

TEST(JobRunner, AQuestionWaitsForItsAnswerAndAStopAnswersNo) {
  Collected events;
  JobRunner runner;
  runner.SetEvents(&events);
  ASSERT_TRUE(runner.Start());
  bool first = false, second = true;
  ASSERT_TRUE(runner.Post([&](JobRunner::Context& job) {
    first = job.Ask("Go on ?", "Warning", true);
    second = job.Ask("Really ?", "Warning", false);
  }));
  EXPECT_FALSE(runner.Post([](JobRunner::Context&) {}));  // one job at a time
  EXPECT_FALSE(runner.RunHere([](JobRunner::Context&) {}));
  EXPECT_FALSE(runner.WaitIdle());  // it returns for the question, the job still runs
  EXPECT_TRUE(runner.QuestionPending());
  runner.Answer(true);
  EXPECT_FALSE(runner.WaitIdle());  // the second question
  runner.Stop();                    // nobody answers it: No, and the thread ends
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_FALSE(runner.IsBusy());
  const std::vector<Question> asked = events.Questions();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].text, "Go on ?");
  EXPECT_TRUE(asked[0].defaultNo);
  EXPECT_FALSE(asked[1].defaultNo);
  EXPECT_EQ(events.Finished(), 1);
  EXPECT_FALSE(runner.Post([](JobRunner::Context&) {}));  // stopped
}

TEST(JobRunner, AJobsEndCarriesItsEffectAndArrivesBeforeTheRunnerIsIdle) {
  Collected events;
  JobRunner runner;
  runner.SetEvents(&events);
  ASSERT_TRUE(runner.Start());
  int effect = 0;
  ASSERT_TRUE(runner.Post([&](JobRunner::Context& job) { job.then = [&effect] { effect = 7; }; }));
  EXPECT_TRUE(runner.WaitIdle());
  EXPECT_EQ(events.Finished(), 1);  // whoever waited for idle finds the end queued
  EXPECT_EQ(effect, 0);             // it runs where the end is delivered, not here
}

}  // namespace

// Stop: the running job's operations end as Cancelled, a question it waits for is answered
// No, and neither reaches the job after it (nor does a stop made while nothing runs).
TEST(JobRunner, CancelEndsOnlyTheRunningJob) {
  Collected events;
  JobRunner runner;
  runner.SetEvents(&events);
  ASSERT_TRUE(runner.Start());
  EXPECT_FALSE(runner.Cancel());  // nothing runs: the next job is not touched
  auto statusOfNextJob = [&runner] {
    SessionStatus status = SessionStatus::Ok;
    EXPECT_TRUE(runner.Post([&status](JobRunner::Context& job) {
      ProgrammerVersions v;
      status = job.session().Versions(v).status;
    }));
    EXPECT_TRUE(runner.WaitIdle());
    return status;
  };
  EXPECT_EQ(statusOfNextJob(), SessionStatus::PortNotOpen);

  SessionStatus during = SessionStatus::Ok;
  bool answer = true;
  ASSERT_TRUE(runner.Post([&](JobRunner::Context& job) {
    answer = job.Ask("Go on ?", "Warning", true);
    ProgrammerVersions v;
    during = job.session().Versions(v).status;
  }));
  EXPECT_FALSE(runner.WaitIdle());  // waits for the answer
  EXPECT_TRUE(runner.Cancel());
  EXPECT_TRUE(runner.WaitIdle());
  EXPECT_FALSE(answer);
  EXPECT_EQ(during, SessionStatus::Cancelled);
  EXPECT_EQ(statusOfNextJob(), SessionStatus::PortNotOpen);
}

}  // namespace bq
