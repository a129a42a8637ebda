#include <gtest/gtest.h>

#include <vector>

#include "support/List.h"

namespace {

struct Item {
  UINT32 Signature;
  UINT64 Payload;
  LIST_ENTRY Link;
  int Value;
};

std::vector<int> Forward(LIST_ENTRY *Head) {
  std::vector<int> Values;
  for (LIST_ENTRY *Node = GetFirstNode(Head); !IsNull(Head, Node); Node = GetNextNode(Head, Node)) {
    Values.push_back(ZEM4_CR(Node, Item, Link)->Value);
  }
  return Values;
}

std::vector<int> Backward(LIST_ENTRY *Head) {
  std::vector<int> Values;
  for (LIST_ENTRY *Node = Head->BackLink; Node != Head; Node = Node->BackLink) {
    Values.push_back(ZEM4_CR(Node, Item, Link)->Value);
  }
  return Values;
}

TEST(List, EmptyHeadPointsToItself) {
  LIST_ENTRY Head{nullptr, nullptr};
  EXPECT_EQ(InitializeListHead(&Head), &Head);
  EXPECT_EQ(Head.ForwardLink, &Head);
  EXPECT_EQ(Head.BackLink, &Head);
  EXPECT_TRUE(IsListEmpty(&Head));
  EXPECT_TRUE(Forward(&Head).empty());
}

TEST(List, TailAndHeadInsertionKeepBothDirectionsConsistent) {
  LIST_ENTRY Head;
  InitializeListHead(&Head);
  Item Items[5] = {};
  for (int Index = 0; Index < 5; Index++) {
    Items[Index].Value = Index;
  }
  InsertTailList(&Head, &Items[1].Link);
  InsertTailList(&Head, &Items[2].Link);
  InsertHeadList(&Head, &Items[0].Link);
  InsertTailList(&Head, &Items[3].Link);
  InsertHeadList(&Head, &Items[4].Link);

  EXPECT_FALSE(IsListEmpty(&Head));
  EXPECT_EQ(Forward(&Head), (std::vector<int>{4, 0, 1, 2, 3}));
  EXPECT_EQ(Backward(&Head), (std::vector<int>{3, 2, 1, 0, 4}));
}

TEST(List, RemoveUnlinksAndReturnsTheFollowingEntry) {
  LIST_ENTRY Head;
  InitializeListHead(&Head);
  Item Items[3] = {};
  for (int Index = 0; Index < 3; Index++) {
    Items[Index].Value = 10 + Index;
    InsertTailList(&Head, &Items[Index].Link);
  }

  EXPECT_EQ(RemoveEntryList(&Items[1].Link), &Items[2].Link);
  EXPECT_EQ(Forward(&Head), (std::vector<int>{10, 12}));
  EXPECT_EQ(Backward(&Head), (std::vector<int>{12, 10}));

  EXPECT_EQ(RemoveEntryList(&Items[2].Link), &Head); // the last entry is followed by the head
  EXPECT_EQ(RemoveEntryList(&Items[0].Link), &Head);
  EXPECT_TRUE(IsListEmpty(&Head));
  EXPECT_EQ(Head.BackLink, &Head);

  // A removed entry is self-linked: removing it again leaves the list alone.
  InsertTailList(&Head, &Items[2].Link);
  RemoveEntryList(&Items[1].Link);
  EXPECT_EQ(Forward(&Head), (std::vector<int>{12}));
}

TEST(List, RecordFromEntryStepsBackByTheFieldOffset) {
  Item Record{};
  Record.Value = 99;
  LIST_ENTRY *Entry = &Record.Link;
  EXPECT_EQ(ZEM4_CR(Entry, Item, Link), &Record);
  EXPECT_EQ(reinterpret_cast<UINT8 *>(Entry) - reinterpret_cast<UINT8 *>(&Record),
            static_cast<ptrdiff_t>(offsetof(Item, Link)));
}

} // namespace
