// An ErrorSink for tests that keeps every report, so a test can count them and read them.
#pragma once

#include <vector>

#include "link/link_error.h"

namespace korvath::test {

class RecordingSink : public link::ErrorSink {
  public:
    void reportError(const platform::Fault& fault) override { reports.push_back(fault); }
    std::vector<platform::Fault> reports;
};

}  // namespace korvath::test
