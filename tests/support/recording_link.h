// A WorkerLink for tests: keeps every call in order and answers message boxes from a script.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "updater/worker_link.h"

namespace testutil {

class RecordingLink : public updater::WorkerLink {
 public:
  struct Box {
    std::string text;
    std::string caption;
    updater::Buttons buttons;
    updater::Icon icon;
  };
  struct Finished {
    int message;
    std::int32_t wparam;
    std::int32_t lparam;
  };

  // Answers for the next message boxes, in order; when they run out, OK / No / Cancel.
  void answer(updater::Answer a) { answers_.push_back(a); }

  void log_text(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.append(text);
    events_.push_back("log:" + std::string(text));
  }
  void set_value_cell(updater::ValueCell cell, std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    values_[cell] = std::string(text);
    events_.push_back("value:" + std::to_string(static_cast<int>(cell)) + "=" + std::string(text));
  }
  void set_row_cell(int row, updater::RowCell cell, std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_[{row, cell}] = std::string(text);
    events_.push_back("row:" + std::to_string(row) + "." + std::to_string(static_cast<int>(cell)) +
                      "=" + std::string(text));
  }
  updater::Answer message_box(std::string_view text, std::string_view caption,
                              updater::Buttons buttons, updater::Icon icon) override {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back({std::string(text), std::string(caption), buttons, icon});
    events_.push_back("box:" + std::string(caption) + ":" + std::string(text));
    if (!answers_.empty()) {
      const updater::Answer a = answers_.front();
      answers_.pop_front();
      return a;
    }
    switch (buttons) {
      case updater::Buttons::yes_no: return updater::Answer::no;
      case updater::Buttons::retry_cancel: return updater::Answer::cancel;
      default: return updater::Answer::ok;
    }
  }
  void finished(int message, std::int32_t wparam, std::int32_t lparam) override {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back({message, wparam, lparam});
    events_.push_back("finished:" + std::to_string(message) + " " + std::to_string(wparam) + " " +
                      std::to_string(lparam));
  }

  // Forgets every call recorded so far (the scripted answers stay).
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    values_.clear();
    rows_.clear();
    boxes_.clear();
    finished_.clear();
    events_.clear();
  }

  // The whole log text so far.
  std::string log() const { std::lock_guard<std::mutex> lock(mutex_); return log_; }
  std::string value(updater::ValueCell cell) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(cell);
    return it == values_.end() ? std::string() : it->second;
  }
  std::string row(int r, updater::RowCell cell) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rows_.find({r, cell});
    return it == rows_.end() ? std::string() : it->second;
  }
  std::vector<Box> boxes() const { std::lock_guard<std::mutex> lock(mutex_); return boxes_; }
  std::vector<Finished> finished_messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<updater::Answer> answers_;
  std::string log_;
  std::map<updater::ValueCell, std::string> values_;
  std::map<std::pair<int, updater::RowCell>, std::string> rows_;
  std::vector<Box> boxes_;
  std::vector<Finished> finished_;
  std::vector<std::string> events_;
};

}  // namespace testutil
