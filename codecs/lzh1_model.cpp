// The adaptive tree's two whole-tree operations; the per-symbol update is
// inline in lzh1_model.h, where the expander's loop and the coder's see it.
#include "codecs/lzh1_model.h"

namespace kv {

void Lzh1Tree::InitTree() {
  for (int s = 0; s < Lzh1Symbols; ++s) {
    Freq[s] = 1;
    Child[s] = static_cast<int16_t>(Lzh1LeafBase + s);
    Parent[Lzh1LeafBase + s] = static_cast<int16_t>(s);
  }
  for (int i = 0, j = Lzh1Symbols; j < Lzh1Nodes; ++j, i += 2) {
    Freq[j] = static_cast<uint16_t>(Freq[i] + Freq[i + 1]);
    Child[j] = static_cast<int16_t>(i);
    Parent[i] = Parent[i + 1] = static_cast<int16_t>(j);
  }
  for (int i = Lzh1Nodes; i < kFreqSize + kScanWidth - 1; ++i) Freq[i] = 0xFFFF;
  Parent[Lzh1Root] = 0;
}

void Lzh1Tree::RebuildTree() {
  // Gather the leaves, in their order, halved and rounded up: a count of 1
  // stays 1, so no symbol ever becomes free. Halving keeps them sorted.
  uint16_t leaf_freq[Lzh1Symbols];
  int16_t leaf_child[Lzh1Symbols];
  int j = 0;
  for (int i = 0; i < Lzh1Nodes; ++i) {
    if (Child[i] >= Lzh1LeafBase) {
      leaf_freq[j] = static_cast<uint16_t>((Freq[i] + 1u) >> 1);
      leaf_child[j] = Child[i];
      ++j;
    }
  }
  // Pair nodes 0 and 1, 2 and 3, ... into new internal nodes, each going
  // after every node of equal or lower frequency. The pairs' sums come in
  // non-decreasing order, and the node made from nodes 2m and 2m + 1 can go
  // no lower than 2m + 2; so the result is a merge of two sorted queues,
  // the leaves and the new nodes in the order they are made, a leaf first
  // on equal counts. The new node m has its children at 2m.
  uint16_t node_freq[Lzh1Symbols - 1];
  int leaves = 0;
  int made = 0;
  int placed = 0;
  for (int n = 0; n < Lzh1Nodes; ++n) {
    if (n >= 2 && (n & 1) == 0) {
      node_freq[made++] = static_cast<uint16_t>(Freq[n - 2] + Freq[n - 1]);
    }
    if (leaves < Lzh1Symbols && (placed == made || leaf_freq[leaves] <= node_freq[placed])) {
      Freq[n] = leaf_freq[leaves];
      Child[n] = leaf_child[leaves];
      ++leaves;
    } else {
      Freq[n] = node_freq[placed];
      Child[n] = static_cast<int16_t>(2 * placed);
      ++placed;
    }
  }
  for (int i = 0; i < Lzh1Nodes; ++i) {
    const int k = Child[i];
    Parent[k] = static_cast<int16_t>(i);
    if (k < Lzh1LeafBase) Parent[k + 1] = static_cast<int16_t>(i);
  }
}

}  // namespace kv
