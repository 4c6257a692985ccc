#ifndef KWAPPMGR_APPLICATIONID_H
#define KWAPPMGR_APPLICATIONID_H

#include <string>

// Identifies one application of the agent by two numbers. A plain value.
class ApplicationId {
 public:
  ApplicationId(unsigned long first, unsigned long second) : m_first(first), m_second(second) {}

  unsigned long First() const { return m_first; }
  unsigned long Second() const { return m_second; }
  std::string ToString() const { return std::to_string(m_first) + ":" + std::to_string(m_second); }

 private:
  unsigned long m_first;
  unsigned long m_second;
};

#endif
