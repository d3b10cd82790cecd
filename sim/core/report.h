// Stand-in SDK: where lower layers report a failure. The SDK call in progress implements it (its
// failure becomes the last error); code below the entry points takes a Report& and never needs to
// know about calls, tests or the control interface.
#pragma once
#include <string>

namespace sim {

class Report {
public:
    // Sets the last error for a real failure of the operation under way.
    virtual void fail(int code, const std::string& reason) = 0;
    // The operation's name, as messages give it.
    virtual const char* op() const = 0;

protected:
    Report() = default;
    Report(const Report&) = default;
    Report& operator=(const Report&) = default;
    ~Report() = default;
};

}  // namespace sim
