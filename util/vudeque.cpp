// Deques: circular, doubly linked through the first two fields of the nodes. The handle is the
// head node; an empty deque's head points at itself both ways. A node that is in no deque has
// null links, so removing it again does nothing.
#include <cstdint>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

namespace {

VorDqNode* AsNode(void* node) { return static_cast<VorDqNode*>(node); }

void Unlink(VorDqNode* node) {
  node->left->right = node->right;
  node->right->left = node->left;
  node->left = nullptr;
  node->right = nullptr;
}

}  // namespace

extern "C" {

VORUTIL_API int32_t VorDqOpen(VorDq* handle) {
  if (handle == nullptr) return Fail(ERR_NULL_PTR);
  auto* head = static_cast<VorDqNode*>(VorMallocCheck(sizeof(VorDqNode), "deque", "vudeque", __LINE__));
  head->left = head;
  head->right = head;
  *handle = head;
  return 1;
}

VORUTIL_API int32_t VorDqClose(VorDq* handle) {
  if (handle == nullptr || *handle == nullptr) return Fail(ERR_NULL_PTR);
  VorDqNode* head = *handle;
  while (head->right != head) Unlink(head->right);
  VorFreeCheck(head, "deque", "vudeque", __LINE__);
  *handle = nullptr;
  return 1;
}

VORUTIL_API void* VorDqFirst(VorDq head) {
  if (head == nullptr) return Fail<void*>(ERR_NULL_PTR);
  return head->right == head ? nullptr : head->right;
}

VORUTIL_API void* VorDqLast(VorDq head) {
  if (head == nullptr) return Fail<void*>(ERR_NULL_PTR);
  return head->left == head ? nullptr : head->left;
}

VORUTIL_API void* VorDqPop(VorDq head) {
  VorDqNode* first = AsNode(VorDqFirst(head));
  if (first != nullptr) Unlink(first);
  return first;
}

VORUTIL_API void VorDqRightInsert(void* node, void* after) {
  if (node == nullptr || after == nullptr) return Fail<void>(ERR_NULL_PTR);
  VorDqNode* n = AsNode(node);
  VorDqNode* a = AsNode(after);
  n->left = a;
  n->right = a->right;
  a->right->left = n;
  a->right = n;
}

VORUTIL_API void VorDqRemove(void* node) {
  if (node == nullptr) return Fail<void>(ERR_NULL_PTR);
  VorDqNode* n = AsNode(node);
  if (n->left != nullptr && n->right != nullptr) Unlink(n);
}

VORUTIL_API int32_t VorDqIsEmpty(VorDq head) {
  if (head == nullptr) {
    VorErrNumSet(ERR_NULL_PTR);  // refused, and answered as empty
    return 1;
  }
  return head->right == head ? 1 : 0;
}

}  // extern "C"
