// The string-keyed table of configuration entries, diagnostic channels and exported variables: 101
// chained buckets, a key's bucket the sum over its bytes of h = h * 31 + byte (bytes as signed
// characters) modulo 101; iteration runs bucket by bucket, in chain order. Look-ups allocate nothing,
// so a signal handler may read a table that no one is changing.
#ifndef TELVI_UTIL_STRTABLE_H
#define TELVI_UTIL_STRTABLE_H

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace telvi {

inline int stringTableBucket(const char *key) {
  unsigned int h = 0;
  for (const char *p = key; *p != '\0'; ++p)
    h = h * 31u + static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(*p)));
  return static_cast<int>(h % 101u);
}

template <typename V>
class StringTable {
 public:
  static constexpr int kBuckets = 101;

  // The value of key, or null.
  V *find(const char *key) const {
    if (key == nullptr) return nullptr;
    for (Node *node = buckets_[stringTableBucket(key)].get(); node != nullptr; node = node->next.get())
      if (std::strcmp(node->key.c_str(), key) == 0) return &node->value;
    return nullptr;
  }

  // Stores value under key, replacing an earlier value; returns the stored value.
  V &set(const char *key, V value) {
    if (V *found = find(key)) {
      *found = std::move(value);
      return *found;
    }
    std::unique_ptr<Node> *slot = &buckets_[stringTableBucket(key)];
    while (*slot) slot = &(*slot)->next;
    *slot = std::make_unique<Node>(Node{key, std::move(value), nullptr});
    ++size_;
    return (*slot)->value;
  }

  bool erase(const char *key) {
    for (std::unique_ptr<Node> *slot = &buckets_[stringTableBucket(key)]; *slot;
         slot = &(*slot)->next) {
      if ((*slot)->key == key) {
        *slot = std::move((*slot)->next);
        --size_;
        return true;
      }
    }
    return false;
  }

  // Calls f(key, value) for every entry, bucket by bucket. f must not change the table.
  template <typename F>
  void forEach(F f) const {
    for (const auto &bucket : buckets_)
      for (Node *node = bucket.get(); node != nullptr; node = node->next.get()) f(node->key, node->value);
  }

  template <typename F>
  void forEach(F f) {
    for (auto &bucket : buckets_)
      for (Node *node = bucket.get(); node != nullptr; node = node->next.get()) f(node->key, node->value);
  }

  size_t size() const { return size_; }

 private:
  struct Node {
    std::string key;
    V value;
    std::unique_ptr<Node> next;
  };
  std::array<std::unique_ptr<Node>, kBuckets> buckets_{};
  size_t size_ = 0;
};

}  // namespace telvi

#endif
