#include "core/parallel/injector.h"

namespace rastrel::parallel {

InjectionQueue::InjectionQueue() : ring_(kInitialRoom) {}

bool InjectionQueue::push(JobRef job) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count_ == ring_.size()) {
        std::vector<JobRef> grown(ring_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) grown[i] = ring_[(head_ + i) & (ring_.size() - 1)];
        ring_.swap(grown);
        head_ = 0;
    }
    ring_[(head_ + count_) & (ring_.size() - 1)] = job;
    ++count_;
    size_.store(count_);
    return count_ == 1;
}

std::optional<JobRef> InjectionQueue::pop() {
    if (is_empty()) return std::nullopt;
    std::lock_guard<std::mutex> guard(mutex_);
    if (count_ == 0) return std::nullopt;
    const JobRef job = ring_[head_];
    head_ = (head_ + 1) & (ring_.size() - 1);
    --count_;
    size_.store(count_);
    return job;
}

bool InjectionQueue::is_empty() const noexcept { return size_.load() == 0; }

}  // namespace rastrel::parallel
