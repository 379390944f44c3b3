// A ring of fixed-size records for many writers and any number of readers.
// A writer never waits: it takes the next sequence number and claims the slot
// that number maps to, overwriting an older record there. A reader copies a
// record and keeps it only when the slot carried that record's number, whole,
// before and after the copy (a sequence lock per slot), so a reader that fell
// behind finds the records it missed gone and sees the gap in the numbers.
// Two writers never write one slot at a time: one that finds the slot being
// written by an older number gives its record up (the slot notes the number
// as lost, so readers move past it), and one that finds a newer number there
// is too late anyway. A record that is handed out is always one writer's whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "ctl.h"

template <class Record>
class KorRing {
    static_assert(std::is_trivially_copyable_v<Record> && sizeof(Record) % 8 == 0);
    static constexpr int kWords = sizeof(Record) / 8;
    struct Slot {
        std::atomic<std::uint64_t> stamp{0};  // 2 x seq when whole, 2 x seq + 1 while written
        std::atomic<std::uint64_t> lost{0};   // the newest number given up on this slot
        std::uint64_t words[kWords];
    };

public:
    // Fewer slots than this leave a reader no record that stays put long
    // enough to be read while writers go on.
    static constexpr int kMinCapacity = 2;

    // Memory from ctlMalloc, once; false when it cannot be had or the
    // capacity is below kMinCapacity.
    bool allocate(int capacity) {
        if (slots_ != nullptr || capacity < kMinCapacity) return slots_ != nullptr;
        void* memory = ctlMalloc(sizeof(Slot) * static_cast<std::size_t>(capacity));
        if (memory == nullptr) return false;
        auto* slots = static_cast<Slot*>(memory);
        for (int i = 0; i < capacity; ++i) new (&slots[i]) Slot{};
        capacity_ = static_cast<std::uint64_t>(capacity);
        slots_ = slots;
        return true;
    }
    bool active() const { return slots_ != nullptr; }
    std::uint64_t capacity() const { return capacity_; }

    // Stores the record; its sequence number (from 1 on), 0 when the ring is
    // off. The number is used even when the record had to be given up.
    std::uint64_t publish(const Record& record) {
        if (slots_ == nullptr) return 0;
        const std::uint64_t seq = next_.fetch_add(1, std::memory_order_relaxed);
        Slot& slot = slots_[seq % capacity_];
        if (!claim(slot, seq)) return seq;
        std::atomic_thread_fence(std::memory_order_release);
        std::uint64_t words[kWords];
        __builtin_memcpy(words, &record, sizeof words);
        for (int i = 0; i < kWords; ++i)
            std::atomic_ref<std::uint64_t>(slot.words[i])
                .store(words[i], std::memory_order_relaxed);
        slot.stamp.store(2 * seq, std::memory_order_release);
        return seq;
    }

    // Copies record seq; false when it is not (or no longer, or not yet) there.
    bool read(std::uint64_t seq, Record* out) const {
        if (slots_ == nullptr || seq == 0) return false;
        Slot& slot = slots_[seq % capacity_];
        const std::uint64_t before = slot.stamp.load(std::memory_order_acquire);
        if (before != 2 * seq) return false;
        std::uint64_t words[kWords];
        for (int i = 0; i < kWords; ++i)
            words[i] =
                std::atomic_ref<std::uint64_t>(slot.words[i]).load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.stamp.load(std::memory_order_relaxed) != before) return false;
        __builtin_memcpy(out, words, sizeof words);
        return true;
    }

    // False while record seq may still come (its writer has not finished);
    // true when it is there, was overwritten or was given up.
    bool settled(std::uint64_t seq) const {
        if (slots_ == nullptr) return true;
        const Slot& slot = slots_[seq % capacity_];
        if (slot.lost.load(std::memory_order_acquire) >= seq) return true;
        const std::uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
        return stamp >= 2 * seq && stamp != 2 * seq + 1;
    }
    // Hands each record after `since` and before `end` to visit(seq, record),
    // oldest first, while room() holds. Records already overwritten are
    // skipped; the walk stops at one still being written (the next walk has it).
    template <class Room, class Visit>
    void walk(std::uint64_t since, std::uint64_t end, Room room, Visit visit) const {
        std::uint64_t seq = since + 1 > oldest() ? since + 1 : oldest();
        for (; seq < end && room(); ++seq) {
            Record record;
            if (read(seq, &record)) visit(seq, record);
            else if (!settled(seq)) break;
        }
    }

    // The number the next record will get.
    std::uint64_t next() const { return next_.load(std::memory_order_acquire); }
    // The oldest number that may still be there.
    std::uint64_t oldest() const {
        const std::uint64_t n = next();
        return n > capacity_ ? n - capacity_ : 1;
    }

private:
    // Marks the slot as written by seq. False when it must not be written:
    // a newer number has it, or an older writer is still at it (seq is then
    // noted as lost, so that readers do not wait for it).
    static bool claim(Slot& slot, std::uint64_t seq) {
        std::uint64_t stamp = slot.stamp.load(std::memory_order_relaxed);
        for (;;) {
            if (stamp >= 2 * seq) return false;
            if (stamp % 2 == 1) {
                noteLost(slot, seq);
                return false;
            }
            if (slot.stamp.compare_exchange_weak(stamp, 2 * seq + 1, std::memory_order_relaxed))
                return true;
        }
    }
    static void noteLost(Slot& slot, std::uint64_t seq) {
        std::uint64_t lost = slot.lost.load(std::memory_order_relaxed);
        while (lost < seq &&
               !slot.lost.compare_exchange_weak(lost, seq, std::memory_order_release)) {
        }
    }

    Slot* slots_ = nullptr;
    std::uint64_t capacity_ = 0;
    std::atomic<std::uint64_t> next_{1};
};
