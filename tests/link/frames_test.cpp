// Frame envelope pieces that need no printer: checksum, status request, byte swap.
#include "link/status.h"
#include "link/transmit.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

uint8_t sumOf(const uint8_t* data, size_t len) {
    return static_cast<uint8_t>(std::accumulate(data, data + len, 0u));
}

TEST(Frames, HeartBeatIsAClosedStatusRequest) {
    EXPECT_EQ(heartBeat[0], 0x66);
    EXPECT_EQ(heartBeat[1] | (heartBeat[2] << 8), 6); // L covers the whole frame
    EXPECT_EQ(heartBeat[3], 0x10);
    EXPECT_EQ(sumOf(heartBeat, 6), 0);
    EXPECT_EQ(GetCheckSum(heartBeat, 5), 0x84);
}

TEST(Frames, CheckSumClosesAnyFrameToZero) {
    EXPECT_EQ(GetCheckSum(nullptr, 0), 0);
    std::vector<uint8_t> frame(1921);
    for (size_t len : {size_t{1}, size_t{2}, size_t{18}, size_t{255}, size_t{1921}}) {
        for (size_t i = 0; i < len; ++i) {
            frame[i] = static_cast<uint8_t>(i * 37 + len);
        }
        frame[len - 1] = GetCheckSum(frame.data(), static_cast<int32_t>(len - 1));
        EXPECT_EQ(sumOf(frame.data(), len), 0) << "length " << len;
    }
    const uint8_t allFF[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(GetCheckSum(allFF, 3), 0x03); // 8-bit wrap-around, not a wider sum
}

TEST(Frames, Bswap16ExchangesBytes) {
    EXPECT_EQ(bswap_16(0x1234), 0x3412);
    EXPECT_EQ(bswap_16(0x00FF), 0xFF00);
    EXPECT_EQ(bswap_16(0x8001), 0x0180);
    for (uint32_t v = 0; v <= 0xFFFF; v += 257) {
        EXPECT_EQ(bswap_16(bswap_16(static_cast<uint16_t>(v))), v);
    }
}

} // namespace
