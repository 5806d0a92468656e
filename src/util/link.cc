// Singly linked lists of opaque items.
#include <cstdlib>

#include "telvi/util.h"

extern "C" {

struct link *linkCreate(void *item, struct link *next) {
  auto *node = static_cast<struct link *>(std::malloc(sizeof(struct link)));
  if (node == nullptr) return nullptr;
  node->item = item;
  node->next = next;
  return node;
}

void linkInsert(struct link *node, struct link *newNode) {
  if (node == nullptr || newNode == nullptr) return;
  newNode->next = node->next;
  node->next = newNode;
}

struct link *linkEnd(struct link *list) {
  if (list == nullptr) return nullptr;
  while (list->next != nullptr) list = list->next;
  return list;
}

struct link *linkReverse(struct link *list) {
  struct link *reversed = nullptr;
  while (list != nullptr) {
    struct link *next = list->next;
    list->next = reversed;
    reversed = list;
    list = next;
  }
  return reversed;
}

void linkDestroy(struct link *list, void (*freeItem)(void *item)) {
  // Iterative, so that long lists cannot exhaust the stack; each node's item is freed before it.
  while (list != nullptr) {
    struct link *next = list->next;
    if (list->item != nullptr && freeItem != nullptr) freeItem(list->item);
    std::free(list);
    list = next;
  }
}

}  // extern "C"
