#include <gtest/gtest.h>

#include <sstream>

#include "DataServerProcess.h"
#include "support/TempDir.h"
#include "upload/UploadExchange.h"
#include "upload/UploadPackets.h"

namespace bhv {
namespace {

using test::DataServerProcess;
using test::ReadFile;
using test::TempDir;

// The data server takes only well-formed packets in order; anything else is closed without an
// answer, which the sender sees as -1.
class DataServerChecks : public ::testing::Test {
protected:
    DataServerChecks() : server_(dir_.path()) {
        options_.timings.afterSendMs = 0;
        options_.timings.sendRetryMs = 1;
        options_.timings.receiveTimeoutMs = 200;
        options_.console = &console_;
        picture_.depthMm = 15000;
        picture_.timestamp = "20230907140509";
        data_.assign(800, 0x5A);
        picture_.data = data_;
    }
    int Send(const Packet& p) { return Exchange({0x7F000001, server_.port()}, p, options_); }

    TempDir dir_;
    DataServerProcess server_;
    ExchangeOptions options_;
    std::ostringstream console_;
    UploadParam param_;
    PictureState picture_;
    std::vector<uint8_t> data_;
};

TEST_F(DataServerChecks, RefusesBrokenPacketsAndTakesEveryValidTextField) {
    Packet bad = BuildRegistrationPacket(param_, "20230907140509");
    bad.back() ^= 1;
    EXPECT_EQ(Send(bad), kExchangeFailed);
    bad = BuildRegistrationPacket(param_, "20230907140509");
    bad[12] = '5';  // version "054"
    EXPECT_EQ(Send(bad), kExchangeFailed);
    param_.holeNumber = std::wstring(24, L'A');
    bad = BuildRegistrationPacket(param_, "20230907140509");
    bad[38] = static_cast<uint8_t>(0xD6);  // a lead byte at the end of the hole number field
    bad[135] = PacketChecksum(std::span<const uint8_t>(bad.data(), 135));
    EXPECT_EQ(Send(bad), kExchangeFailed);

    // Hole numbers of 30 characters and with a Chinese character ending at byte 23, 24 and
    // (left out) 25 are all valid fields.
    for (const std::wstring& hole :
         {std::wstring(30, L'A'), std::wstring(21, L'A') + L"中", std::wstring(22, L'A') + L"中",
          std::wstring(23, L'A') + L"中"}) {
        param_.holeNumber = hole;
        EXPECT_EQ(Send(BuildRegistrationPacket(param_, "20230907140509")), kExchangeAccepted);
    }
    const std::string log = server_.Log();
    EXPECT_NE(log.find("bad checksum"), std::string::npos) << log;
    EXPECT_NE(log.find("bad version"), std::string::npos) << log;
    EXPECT_NE(log.find("splits a double-byte character"), std::string::npos) << log;
}

TEST_F(DataServerChecks, DataMustFollowItsHeaderInOrderAndEndOnlyWhenComplete) {
    ASSERT_EQ(Send(BuildRegistrationPacket(param_, picture_.timestamp)), kExchangeAccepted);
    EXPECT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 1)), kExchangeFailed);  // no header
    ASSERT_EQ(Send(BuildPictureHeaderPacket(param_, picture_)), kExchangeAccepted);
    EXPECT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 2)), kExchangeFailed);  // skips 1
    ASSERT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 1)), kExchangeAccepted);
    EXPECT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 1)), kExchangeAccepted);  // repeat
    EXPECT_EQ(Send(BuildPictureEndPacket(param_, picture_)), kExchangeFailed);         // incomplete
    ASSERT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 2)), kExchangeAccepted);
    // Packet 3 of a longer file: the right number, but 388 bytes where the header's length
    // leaves 24.
    PictureState longer = picture_;
    std::vector<uint8_t> more(1200, 0x5A);
    longer.data = more;
    EXPECT_EQ(Send(*BuildPictureDataPacket(param_, longer, 3)), kExchangeFailed);
    ASSERT_EQ(Send(*BuildPictureDataPacket(param_, picture_, 3)), kExchangeAccepted);
    ASSERT_EQ(Send(BuildPictureEndPacket(param_, picture_)), kExchangeAccepted);
    EXPECT_EQ(Send(BuildPictureEndPacket(param_, picture_)), kExchangeAccepted);  // repeat
    EXPECT_EQ(Send(BuildProjectEndPacket(param_, picture_.timestamp)), kExchangeAccepted);
    EXPECT_EQ(server_.Stop(), 0);
    EXPECT_TRUE(ReadFile(server_.out() / "K2_140072_P1_15000mm_kind0.jpg") ==
                std::string(data_.begin(), data_.end()));
    EXPECT_NE(server_.Log().find("stopped: 13 connections, 1 pictures written"), std::string::npos)
        << server_.Log();
}

}  // namespace
}  // namespace bhv
