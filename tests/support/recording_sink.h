// An ErrorSink for tests that keeps every report, so a test can count them and read them.
#pragma once

#include <string>
#include <vector>

#include "link/link_error.h"

namespace korvath::test {

struct Report {
    int number;
    std::string description;
};

class RecordingSink : public link::ErrorSink {
  public:
    void reportError(int number, const std::string& description) override {
        reports.push_back({number, description});
    }
    std::vector<Report> reports;
};

}  // namespace korvath::test
