// recorder.h - a device for link tests: records every write of the program and sends
// replies scheduled at virtual times.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/backend/testbed.h"

namespace testbed {

class RecordingDevice : public VirtualDevice {
public:
    std::vector<std::vector<uint8_t>> writes;
    struct Reply {
        uint64_t at;
        std::vector<uint8_t> bytes;
    };
    std::vector<Reply> replies;

    void HostWrote(uint64_t, const uint8_t* bytes, size_t count) override {
        writes.emplace_back(bytes, bytes + count);
    }
    uint64_t NextEventUs() override { return replies.empty() ? UINT64_MAX : replies.front().at; }
    void RunUntil(uint64_t now, std::vector<uint8_t>* toHost, bool*) override {
        while (!replies.empty() && replies.front().at <= now) {
            toHost->insert(toHost->end(), replies.front().bytes.begin(), replies.front().bytes.end());
            replies.erase(replies.begin());
        }
    }
};

}  // namespace testbed
