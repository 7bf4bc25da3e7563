// A progress view that records every line drawn, in the progress window's words, and counts
// message pumps; `onLine` and `onPump` let a test click Cancel or announce a suspend mid-pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/progress_texts.h"
#include "progress/progress.h"
#include "res/messages.h"

namespace brc::test {

struct Drawn {
    uint32_t controlId;
    std::u16string text;
    bool operator==(const Drawn&) const = default;
};

class RecordingView : public ProgressView {
public:
    explicit RecordingView(const MessageSource& messages = builtinMessages()) : texts_(messages) {}

    void showStage(const StageProgress& stage) override {
        lines.push_back({stageLine(stage.stage), texts_.render(stage)});
        if (onLine) onLine(lines.back());
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
    // What one line shows now; empty when nothing was drawn on it.
    std::u16string last(uint32_t controlId) const {
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->controlId == controlId) return it->text;
        return {};
    }

    std::vector<Drawn> lines;
    int pumps = 0;
    std::function<void(const Drawn&)> onLine;
    std::function<void(int)> onPump;

private:
    ProgressTexts texts_;
};

} // namespace brc::test
