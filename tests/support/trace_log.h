#pragma once
// Collects what a network client traces, for tests that check the trace texts.

#include "net/trace.h"

#include <string>
#include <utility>
#include <vector>

namespace zanpost::testing {

struct TraceLog {
    std::vector<std::pair<std::string, TTraceLevel>> entries;

    TTraceProc proc()
    {
        return [this](const std::string& s, TTraceLevel level) { entries.emplace_back(s, level); };
    }

    std::vector<std::string> at(TTraceLevel level) const
    {
        std::vector<std::string> texts;
        for (const auto& [text, l] : entries)
            if (l == level) texts.push_back(text);
        return texts;
    }

    // The byte counts (trace_traffic) that begin with `prefix` ("Sent ", "Received ").
    std::vector<std::string> socket_events(const std::string& prefix) const
    {
        std::vector<std::string> texts;
        for (const auto& text : at(trace_traffic))
            if (text.starts_with(prefix)) texts.push_back(text);
        return texts;
    }
};

}  // namespace zanpost::testing
