// A circular doubly linked ring with a rotating "current" position.
//
// Lookups rotate the ring so that the entry found last is current: an application
// normally drives one handle at a time, and its next lookup then matches at once.
// The ring does no locking; its owner serialises every operation, lookups included,
// because a search moves `current`.
#pragma once

#include <cstdint>
#include <utility>

namespace veltcam {

template <class T>
class CTRing {
public:
    struct Node {
        T data;
        Node* prev;
        Node* next;
    };

    CTRing() = default;
    CTRing(const CTRing&) = delete;
    CTRing& operator=(const CTRing&) = delete;
    virtual ~CTRing() { Clear(); }

    // Links a copy of `entry` in just before the current node and makes it current.
    virtual void Add(T entry) {
        Node* node = new Node{std::move(entry), nullptr, nullptr};
        if (current_ == nullptr) {
            node->prev = node->next = node;
            count_ = 1;
        } else {
            ++count_;
            node->prev = current_->prev;
            node->next = current_;
            current_->prev->next = node;
            current_->prev = node;
        }
        current_ = node;
    }

    // Rotating search: walks from current once around the ring. On success the match
    // is current; on failure current rests on the node that preceded the start.
    bool Find(uint32_t key) {
        if (current_ == nullptr) return false;
        const uint32_t last = KeyOf(current_->prev);
        if (KeyOf(current_) == key) return true;
        for (;;) {
            if (KeyOf(current_) == last) return false;
            current_ = current_->next;
            if (KeyOf(current_) == key) return true;
        }
    }

    // Unlinks and frees the current node; the next node becomes current.
    bool RemoveCurrent() {
        if (current_ == nullptr) return false;
        Node* old = current_;
        if (old->next == old) {
            current_ = nullptr;
            count_ = 0;
        } else {
            --count_;
            old->prev->next = old->next;
            old->next->prev = old->prev;
            current_ = old->next;
        }
        delete old;
        return true;
    }

    bool Remove(uint32_t key) { return Find(key) && RemoveCurrent(); }

    void Clear() {
        while (current_ != nullptr) RemoveCurrent();
    }

    Node* Current() const { return current_; }
    int32_t Count() const { return count_; }

private:
    // Keys live in 64-bit slots; only the low 32 bits identify a handle.
    static uint32_t KeyOf(const Node* node) { return static_cast<uint32_t>(node->data.key); }

    Node* current_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace veltcam
