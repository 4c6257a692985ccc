#ifndef INCLUDE_HOSTTYPES_H
#define INCLUDE_HOSTTYPES_H

#include <cstdint>

#include <boost/shared_ptr.hpp>

// Scalar names of the agent's interface.
typedef uint32_t ULONG;     // 32-bit unsigned
typedef int64_t LONGLONG;   // 64-bit signed

class ContentMapperAPI;
typedef boost::shared_ptr<ContentMapperAPI> ContentMapperAPIPtr;

// A host type that this plug-in never touches; declared so that GetFilterSet's signature compiles.
class CFilterSet;

#endif
