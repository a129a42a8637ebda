// Circular doubly linked list with a head entry. An empty list is a head that
// points to itself; records embed a LIST_ENTRY and are recovered with ZEM4_CR.
#ifndef ZEM4_SUPPORT_LIST_H
#define ZEM4_SUPPORT_LIST_H

#include "efi/UefiBase.h"

struct LIST_ENTRY {
  LIST_ENTRY *ForwardLink;
  LIST_ENTRY *BackLink;
};

// The record of type Type whose member Field is the entry at Pointer.
#define ZEM4_CR(Pointer, Type, Field)                                                              \
  (reinterpret_cast<Type *>(reinterpret_cast<UINT8 *>(Pointer) - offsetof(Type, Field)))

inline LIST_ENTRY *InitializeListHead(LIST_ENTRY *Head) {
  Head->ForwardLink = Head;
  Head->BackLink = Head;
  return Head;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY *Head) {
  return Head->ForwardLink == Head ? TRUE : FALSE;
}

// Before the head: the entry becomes the last one.
inline LIST_ENTRY *InsertTailList(LIST_ENTRY *Head, LIST_ENTRY *Entry) {
  Entry->ForwardLink = Head;
  Entry->BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = Entry;
  Head->BackLink = Entry;
  return Head;
}

// After the head: the entry becomes the first one.
inline LIST_ENTRY *InsertHeadList(LIST_ENTRY *Head, LIST_ENTRY *Entry) {
  Entry->ForwardLink = Head->ForwardLink;
  Entry->BackLink = Head;
  Head->ForwardLink->BackLink = Entry;
  Head->ForwardLink = Entry;
  return Head;
}

// Unlinks Entry and returns the entry that followed it. The unlinked entry
// is left pointing to itself, so a second removal is harmless.
inline LIST_ENTRY *RemoveEntryList(LIST_ENTRY *Entry) {
  LIST_ENTRY *Next = Entry->ForwardLink;
  Entry->BackLink->ForwardLink = Next;
  Next->BackLink = Entry->BackLink;
  Entry->ForwardLink = Entry;
  Entry->BackLink = Entry;
  return Next;
}

// Iteration helpers: first/next entry, and whether Node is back at the head.
inline LIST_ENTRY *GetFirstNode(const LIST_ENTRY *Head) {
  return Head->ForwardLink;
}
inline LIST_ENTRY *GetNextNode(const LIST_ENTRY *Head, const LIST_ENTRY *Node) {
  (void)Head;
  return Node->ForwardLink;
}
inline BOOLEAN IsNull(const LIST_ENTRY *Head, const LIST_ENTRY *Node) {
  return Head == Node ? TRUE : FALSE;
}

#endif
