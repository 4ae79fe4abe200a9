// watch.cpp - the watching engine: polls, changes, and a server that has gone.
#include "watch.h"

#include <algorithm>
#include <thread>

#include "qnapi.h"

namespace qna {

namespace {

// Reads from the mapped areas go on succeeding after the server has ended
// (the memory stays mapped), so a local engine asks the server over the link
// this often whether it is still there.
constexpr auto kServerCheck = std::chrono::seconds(1);
// Run waits in steps of at most this, so that Stop takes effect soon.
constexpr auto kStep = std::chrono::milliseconds(50);

}  // namespace

std::size_t Watcher::Watch(const WatchItem& item) {
  std::lock_guard guard(lock_);
  const auto known = std::find(items_.begin(), items_.end(), item);
  if (known != items_.end()) {
    const auto id = static_cast<std::size_t>(known - items_.begin());
    unwatched_[id] = false;
    return id;
  }
  items_.push_back(item);
  unwatched_.push_back(false);
  last_.emplace_back();
  return items_.size() - 1;
}

void Watcher::Unwatch(std::size_t id) {
  std::lock_guard guard(lock_);
  if (id >= items_.size()) return;
  unwatched_[id] = true;
  last_[id].clear();
}

WatchItem Watcher::Item(std::size_t id) const {
  std::lock_guard guard(lock_);
  return items_.at(id);
}

std::size_t Watcher::Subscribe(WatchConsumer consumer) {
  std::lock_guard guard(lock_);
  consumers_.emplace_back(next_consumer_, std::move(consumer));
  return next_consumer_++;
}

void Watcher::Unsubscribe(std::size_t id) {
  std::lock_guard guard(lock_);
  std::erase_if(consumers_, [id](const auto& c) { return c.first == id; });
}

std::uint32_t Watcher::ReadItem(const WatchItem& item, std::vector<std::int32_t>& values) {
  values.assign(item.count, 0);
  switch (item.kind) {
    case WatchItem::Kind::words: {
      std::vector<std::uint16_t> words(item.count);
      const std::uint32_t r = link_.Read(item.area, item.start, item.count, words.data());
      std::copy(words.begin(), words.end(), values.begin());
      return r;
    }
    case WatchItem::Kind::bits: {
      std::vector<std::uint8_t> bits(item.count);
      const std::uint32_t r = link_.ReadBits(item.area, item.start, item.count, bits.data());
      std::copy(bits.begin(), bits.end(), values.begin());
      return r;
    }
    case WatchItem::Kind::tag: {
      // The library upper-cases the name in place: it gets a copy.
      std::vector<char> name(item.tag.begin(), item.tag.end());
      name.push_back('\0');
      std::int32_t value = 0;
      const std::uint32_t r = QNA_ReadTag(name.data(), &value, 0);
      values.assign(1, value);
      return r;
    }
  }
  return QNA_E_ARG;
}

std::uint32_t Watcher::CheckServer(WatchPoll& poll) {
  const auto now = std::chrono::steady_clock::now();
  if (!link_.mapped() || now - checked_ < kServerCheck) return 0;
  checked_ = now;
  // The smallest request there is: a word of this application's own mailbox.
  std::uint16_t word = 0;
  const std::uint32_t r = QNA_ReadApp(link_.app().c_str(), 0, 1, &word);
  if (r != 0) {
    poll.result = r;
    poll.detail = QNA_InternalErr;
    poll.failed = "the server has gone (it no longer answers on its link)";
  }
  return r;
}

std::uint32_t Watcher::Poll() {
  WatchPoll poll;
  std::vector<std::pair<std::size_t, WatchConsumer>> consumers;
  {
    std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    if (polls_ == 0) first_ = checked_ = now;
    poll.number = polls_++;
    poll.time = std::chrono::system_clock::now();
    poll.seconds = std::chrono::duration<double>(now - first_).count();
    poll.now.resize(items_.size());
    for (std::size_t i = 0; i < items_.size() && poll.result == 0; ++i) {
      if (unwatched_[i]) continue;
      const std::uint32_t r = ReadItem(items_[i], poll.now[i]);
      if (r != 0) {
        poll.result = r;
        poll.detail = QNA_InternalErr;
        const WatchItem& item = items_[i];
        poll.failed = item.kind == WatchItem::Kind::tag
                          ? "tag '" + item.tag + "'"
                          : RangeText(item.area, item.start, item.count, item.kind == WatchItem::Kind::bits);
      }
    }
    if (poll.result == 0) CheckServer(poll);
    if (poll.result == 0) {
      poll.before = last_;
      last_ = poll.now;
    } else {
      poll.now.clear();
    }
    consumers = consumers_;
  }
  for (const auto& [id, consumer] : consumers) consumer(poll);
  return poll.result;
}

std::uint32_t Watcher::Run(std::chrono::milliseconds interval, std::uint64_t polls) {
  for (std::uint64_t done = 0; !stop_ && (polls == 0 || done < polls); ++done) {
    const auto due = std::chrono::steady_clock::now() + interval;
    if (const std::uint32_t r = Poll(); r != 0) return r;
    if (polls != 0 && done + 1 == polls) break;
    for (auto now = std::chrono::steady_clock::now(); !stop_ && now < due; now = std::chrono::steady_clock::now())
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - now, kStep));
  }
  return 0;
}

}  // namespace qna
