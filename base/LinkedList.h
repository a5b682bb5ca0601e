// Doubly linked LIST_ENTRY lists as UEFI lays them out: a head whose links
// point at itself when the list is empty, entries embedding a LIST_ENTRY.
#pragma once

#include "EfiBaseTypes.h"

inline void InitializeListHead(LIST_ENTRY *Head) {
  Head->ForwardLink = Head;
  Head->BackLink = Head;
}

// Links Entry in as the last element of Head's list.
inline void InsertTailList(LIST_ENTRY *Head, LIST_ENTRY *Entry) {
  Entry->ForwardLink = Head;
  Entry->BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = Entry;
  Head->BackLink = Entry;
}
