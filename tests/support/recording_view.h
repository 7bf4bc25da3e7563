// A progress view that records every line drawn and counts message pumps; `onPump` lets a test
// click Cancel or announce a suspend mid-pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "progress/progress.h"

namespace brc::test {

struct Drawn {
    uint32_t controlId;
    std::u16string text;
};

class RecordingView : public ProgressView {
public:
    void setLineText(uint32_t controlId, const std::u16string& text) override {
        lines.push_back({controlId, text});
    }
    void pumpPendingMessages() override {
        ++pumps;
        if (onPump) onPump(pumps);
    }
    // The texts drawn on one line, in order.
    std::vector<std::u16string> textsOf(uint32_t controlId) const {
        std::vector<std::u16string> out;
        for (const Drawn& d : lines)
            if (d.controlId == controlId) out.push_back(d.text);
        return out;
    }

    std::vector<Drawn> lines;
    int pumps = 0;
    std::function<void(int)> onPump;
};

} // namespace brc::test
