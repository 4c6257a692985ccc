#ifndef QIUTILS_FXPATH_H
#define QIUTILS_FXPATH_H

#include <string>

#include "QiError.h"

// Path helpers of the framework; "/" is the delimiter. Stateless; safe from any thread.
class FXPath {
 public:
  // Appends part to path with exactly one "/" between them. An empty path becomes part.
  // No flags are defined; pass 0.
  static CQiError Append(std::string& path, const std::string& part, unsigned int flags);
  // The path ends with "/" afterwards (a path that has one keeps exactly that one).
  static CQiError AppendTrailingDelimiter(std::string& path);
  // Removes one trailing "/".
  static CQiError RemoveTrailingDelimiter(std::string& path);

  // True when b lies inside the tree rooted at a, compared component by component (so /mnt/p is
  // not an ancestor of /mnt/pq). With includeSelf true a path equal to a counts as inside;
  // trailing "/" are ignored for the comparison.
  static bool IsAncestorOf(const std::string& a, const std::string& b, bool includeSelf);
  // IsAncestorOf(b, a, includeSelf): a lies inside the tree rooted at b.
  static bool IsDescendantOf(const std::string& a, const std::string& b, bool includeSelf);
};

#endif
