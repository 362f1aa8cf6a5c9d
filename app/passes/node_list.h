// Node records and lists shared by the three passes.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "linvoro_baselist.h"
#include "id_set.h"
#include "linvoro_types.h"

struct TNode {
  int64_t ID = 0;
  TFloatPoint P;  // x = longitude, y = latitude, degrees
};

struct TNode2 {
  int64_t ID = 0;
  TFloatPoint P;     // degrees
  TFloatPoint Prad;  // the same point in radians
};

// Nodes compare by ID only.
struct TNodeOrder {
  static bool IsEqual(const TNode& a, const TNode& b) { return a.ID == b.ID; }
  static bool IsLess(const TNode& a, const TNode& b) { return a.ID < b.ID; }
  static bool IsGreater(const TNode& a, const TNode& b) { return a.ID > b.ID; }
};

// Sorted by ID.
class TNodeList : public TBaseListSort<TNode, TNodeOrder> {};

// The node coordinate store of a run. BA marks every id that was added, so
// that presence is a bit test and only present ids are searched for.
class TNodeListEx final : public TNodeList {
 public:
  // Marks Id and appends the record; the list stays sorted only while ids
  // arrive in ascending order.
  void AddNode(int64_t Id, const TFloatPoint& P) {
    BA.SetBit(Id, true);
    TNodeList::Add(TNode{Id, P});
  }

  bool HasNode(int64_t Id) const { return BA.GetBit(Id); }

  // -1 (P untouched) when the node is not stored; otherwise 0 with P set.
  // A binary search once the list is sorted, a linear scan before that.
  int32_t ReadPoint(int64_t Id, TFloatPoint& P) const {
    int32_t at;
    return ReadPoint(Id, P, at);
  }
  // The same, with the node's index in at (when found).
  int32_t ReadPoint(int64_t Id, TFloatPoint& P, int32_t& at) const {
    if (!HasNode(Id)) return -1;
    const int32_t i = IndexOf(TNode{Id, {}});
    if (i < 0) return -1;
    P = FList[i].P;
    at = i;
    return 0;
  }
  // The same, searching outwards from near, the index of a node found
  // before (a way's next node mostly lies a few ids from the last one, where
  // a search of the whole list would touch some 25 far-apart records). Only
  // once Seal found every id once; else any one of equal ids could answer.
  int32_t ReadPointNear(int64_t Id, TFloatPoint& P, int32_t& near) const;

  // After the list is complete and sorted: notes whether each id is held
  // once, which ReadPointNear needs.
  void Seal() {
    FUnique = Sorted();
    for (int32_t i = 1; FUnique && i < FCount; ++i) FUnique = FList[i - 1].ID != FList[i].ID;
  }

  TIdSet BA;

 private:
  bool FUnique = false;
};

// Sorted 64-bit node ids (the ferry nodes of a run).
class TNodeIDList final : public TBaseListSort<int64_t, TNaturalOrder<int64_t>> {};

// The nodes of the way being read (passes 1 and 3); no order.
class TNode2List final : public TBaseList<TNode2> {
 public:
  // Empties the list but keeps its storage, so that one list serves every
  // way of a pass without reallocating.
  void Reset() { FCount = 0; }
};

// "ref" tags of needed nodes, by node id.
using TJunctionList = std::unordered_map<int64_t, std::string>;
