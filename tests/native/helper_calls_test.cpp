// The helper's call loop, served in this process: what the module writes
// into the block is a stranger's bytes to the helper, and every index, size
// and request in a call is checked before an encoder sees it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "isolated/helper/call_loop.h"
#include "isolated/protocol/block_checks.h"
#include "isolated/protocol/scan_request.h"
#include "tests/common/call_log.h"
#include "tests/native/editor_folder.h"

namespace {

class HelperCallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        editor_.Install("with_settings.auo_");
        editor_.Install("basic.auo_");
        FillField(block_->editor_executable, editor_.folder().Child("editor.exe").c_str());
        ASSERT_TRUE(WriteScanRequest(*block_, ScanRequest{}));
        ASSERT_EQ(calls_.Serve(HelperCall::Scan), CallStatus::Done);
        ASSERT_TRUE(ReadScanAnswer(*block_, nullptr, &listing_));
        ASSERT_EQ(listing_.size(), 2u);
        settings_ = std::string(listing_[0].file_name) == "with_settings.auo_" ? 0 : 1;
        plain_ = 1 - settings_;
        TakeCalls();
    }

    CallStatus Serve(HelperCall code, int32_t encoder, int32_t size = 0, int32_t size_query = 0) {
        block_->call.encoder = encoder;
        block_->call.size = size;
        block_->call.size_query = size_query;
        return calls_.Serve(code);
    }

    EditorFolder editor_;
    std::unique_ptr<ControlBlock> block_{new ControlBlock()};
    HelperCalls calls_{*block_};
    std::vector<EncoderListing> listing_;
    int32_t settings_ = 0;  // with_settings.auo_: config, config_get, config_set
    int32_t plain_ = 1;     // basic.auo_: none of them
};

TEST_F(HelperCallsTest, ACallWhoseIndexOrSizeTheHelperCannotHonourIsRefusedBeforeAnEncoderSeesIt) {
    const auto over_payload = static_cast<int32_t>(kPayloadBytes + 1);
    struct Row {
        const char* what;
        HelperCall code;
        int32_t encoder;
        int32_t size;
    };
    const Row rows[] = {
        {"config below the listing", HelperCall::Config, -1, 0},
        {"config past the listing", HelperCall::Config, 2, 0},
        {"config of an encoder without one", HelperCall::Config, plain_, 0},
        {"settings past the listing", HelperCall::ConfigGet, 2, 16},
        {"settings of an encoder without config_get", HelperCall::ConfigGet, plain_, 16},
        {"a fill with negative room", HelperCall::ConfigGet, settings_, -1},
        {"a fill with more room than the payload", HelperCall::ConfigGet, settings_, over_payload},
        {"settings given of a negative size", HelperCall::ConfigSet, settings_, -1},
        {"settings given beyond the payload", HelperCall::ConfigSet, settings_, over_payload},
        {"settings given to an encoder without config_set", HelperCall::ConfigSet, plain_, 4},
        {"a call of no kind", static_cast<HelperCall>(99), settings_, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Serve(row.code, row.encoder, row.size), CallStatus::Refused) << row.what;
        EXPECT_TRUE(TakeCalls().empty()) << row.what;
    }
}

TEST_F(HelperCallsTest, TheSizeQueryReachesTheEncoderWithTheEditorsArgumentAndAFillStaysWithinItsRoom) {
    // The relay asks with the editor's size less its header, negative as a
    // rule: the encoder must see that very argument, with no buffer.
    ASSERT_EQ(Serve(HelperCall::ConfigGet, settings_, -268, 1), CallStatus::Done);
    const int32_t announced = block_->call.result;
    EXPECT_EQ(block_->call.payload_bytes, 0);
    std::vector<RecordedCall> gets = CallsTo(TakeCalls(), "with_settings.auo_", "config_get");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].argument, -268);
    EXPECT_EQ(gets[0].detail, 0);  // no buffer

    ASSERT_EQ(Serve(HelperCall::ConfigGet, settings_, announced - 5), CallStatus::Done);
    EXPECT_EQ(block_->call.payload_bytes, announced - 5);
    gets = CallsTo(TakeCalls(), "with_settings.auo_", "config_get");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].argument, announced - 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block_->payload), gets[0].bytes.size()), gets[0].bytes);
}

TEST_F(HelperCallsTest, AScanRequestThatIsNotExactlyWhatTheModuleWritesStartsNothing) {
    ASSERT_EQ(Serve(HelperCall::Exit, 0), CallStatus::Done);
    TakeCalls();
    struct Row {
        const char* what;
        std::string payload;
        int32_t roster_length;
        int32_t size;  // -1: the payload's own
    };
    const Row rows[] = {
        {"no request", std::string(), -1, 0},
        {"more bytes than the payload", std::string(1, '\0'), -1, static_cast<int32_t>(kPayloadBytes + 1)},
        {"a roster longer than a listing can be", std::string(1, '\0'), kMaxListedEncoders + 1, -1},
        {"a roster of a name shorter than said", std::string("\0basic.auo_\0", 12), 2, -1},
        {"a name without its end", std::string("basic.auo_"), -1, -1},
        {"bytes after the request", std::string("\0basic.auo_\0", 12), -1, -1},
        {"a name longer than a file name", std::string(1, '\0') + std::string(300, 'a') + '\0', 1, -1},
    };
    for (const Row& row : rows) {
        std::memcpy(block_->payload, row.payload.data(), row.payload.size());
        block_->call.encoder = row.roster_length;
        block_->call.size = row.size >= 0 ? row.size : static_cast<int32_t>(row.payload.size());
        EXPECT_EQ(calls_.Serve(HelperCall::Scan), CallStatus::Refused) << row.what;
        EXPECT_TRUE(CallsTo(TakeCalls(), "", "load").empty()) << row.what;
    }
}

TEST_F(HelperCallsTest, AScanWithARosterKeepsItsIndicesAndRefusesCallsToAFileThatDidNotStart) {
    ScanRequest request;
    request.has_roster = true;
    request.roster = {"with_settings.auo_", "gone.auo_", "basic.auo_"};
    ASSERT_TRUE(WriteScanRequest(*block_, request));
    ASSERT_EQ(calls_.Serve(HelperCall::Scan), CallStatus::Done);
    std::vector<EncoderListing> listing;
    ASSERT_TRUE(ReadScanAnswer(*block_, &request.roster, &listing));
    ASSERT_EQ(listing.size(), 3u);
    EXPECT_EQ(listing[0].present, 1);
    EXPECT_EQ(listing[1].present, 0);
    EXPECT_EQ(listing[2].present, 1);
    EXPECT_EQ(std::string(listing[0].name), "Settings Encoder");
    TakeCalls();

    EXPECT_EQ(Serve(HelperCall::ConfigGet, 1, 16), CallStatus::Refused);
    EXPECT_EQ(Serve(HelperCall::ConfigGet, 0, 16), CallStatus::Done);
    EXPECT_EQ(CallsTo(TakeCalls(), "with_settings.auo_", "config_get").size(), 1u);

    // A roster names the first helper's files; one the module never listed
    // is started no more.
    request.roster = {"basic.auo_"};
    ASSERT_TRUE(WriteScanRequest(*block_, request));
    ASSERT_EQ(calls_.Serve(HelperCall::Scan), CallStatus::Done);
    const std::vector<RecordedCall> calls = TakeCalls();
    // The last scan's encoders end first; the new scan's unlisted one then.
    EXPECT_EQ(CallsTo(calls, "with_settings.auo_", "exit").size(), 2u);
    EXPECT_EQ(CallsTo(calls, "basic.auo_", "exit").size(), 1u);
}

}  // namespace
