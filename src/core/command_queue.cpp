#include "command_queue.h"

#include <utility>
#include <vector>

namespace qel {

bool CommandQueue::Push(ScaleCommand command, Done done,
                        std::shared_ptr<const CommandTicket> ticket, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outstanding_->load() < kMaxWaitingCommands) {
      ++*outstanding_;
      // The place is freed when the command is answered, whoever answers it.
      Done freeing = [outstanding = outstanding_, done = std::move(done)](CommandResult result) {
        --*outstanding;
        if (done) done(result);
      };
      waiting_.push_back(Entry{command, std::move(freeing), std::move(ticket), now});
      return true;
    }
  }
  if (done) done(CommandResult::kTooManyCommands);
  return false;
}

std::optional<CommandQueue::Entry> CommandQueue::Next(Clock::time_point now,
                                                      std::chrono::milliseconds window) {
  std::vector<Entry> dropped;
  std::optional<Entry> next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!waiting_.empty() && !next) {
      Entry entry = std::move(waiting_.front());
      waiting_.pop_front();
      const bool unwanted = entry.ticket && entry.ticket->withdrawn();
      if (unwanted || now - entry.asked >= window) {
        dropped.push_back(std::move(entry));
      } else {
        next = std::move(entry);
      }
    }
  }
  // Answered outside the lock: an answer may queue the asker's next command.
  for (Entry& entry : dropped) entry.done(CommandResult::kNoAnswer);
  return next;
}

void CommandQueue::FailAll(CommandResult result) {
  std::deque<Entry> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(waiting_);
  }
  for (Entry& entry : all) entry.done(result);
}

bool CommandQueue::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.empty();
}

}  // namespace qel
