// The settings record, natively: what the editor gets from config_get and
// what config_set does with what it gets back. Blocks handed to the relay are
// allocated to their exact size (or end at a guard page), so the sanitizer
// builds catch any byte read or written outside them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "registry/sub_plugin_registry.h"
#include "tests/common/call_log.h"
#include "tests/native/allocation_failure.h"
#include "tests/native/editor_folder.h"

namespace {

constexpr int kHeader = 268;

int32_t Get32(const uint8_t* block, size_t offset) {
    int32_t value;
    std::memcpy(&value, block + offset, sizeof value);
    return value;
}

void Put32(uint8_t* block, size_t offset, int32_t value) { std::memcpy(block + offset, &value, sizeof value); }

std::string Magic(const uint8_t* block) { return std::string(reinterpret_cast<const char*>(block), 4); }
std::string NameField(const uint8_t* block) { return std::string(reinterpret_cast<const char*>(block) + 12, 256); }
std::string Inner(const uint8_t* block, size_t length) {
    return std::string(reinterpret_cast<const char*>(block) + kHeader, length);
}
std::string Padded(const std::string& name) {
    std::string field = name;
    field.resize(256, '\0');
    return field;
}

// A record as the editor would have stored it.
std::vector<uint8_t> MakeRecord(int32_t count, const std::string& name, const std::string& inner) {
    std::vector<uint8_t> record(kHeader + inner.size(), 0);
    const uint8_t magic[4] = {0x69, 0x6B, 0x6D, 0x00};
    std::memcpy(record.data(), magic, 4);
    Put32(record.data(), 4, count);
    Put32(record.data(), 8, static_cast<int32_t>(inner.size()));
    std::memcpy(record.data() + 12, name.data(), name.size() < 256 ? name.size() : 256);
    std::memcpy(record.data() + kHeader, inner.data(), inner.size());
    return record;
}

// A block of exactly `size` bytes, so that the address sanitizer sees every
// access past its end.
struct ExactBlock {
    explicit ExactBlock(size_t size, uint8_t fill = 0xCC) : bytes(new uint8_t[size]), size(size) {
        std::memset(bytes.get(), fill, size);
    }
    explicit ExactBlock(const std::vector<uint8_t>& content) : ExactBlock(content.size()) {
        std::memcpy(bytes.get(), content.data(), content.size());
    }
    uint8_t* data() const { return bytes.get(); }
    std::vector<uint8_t> Content() const { return std::vector<uint8_t>(bytes.get(), bytes.get() + size); }
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
};

// A block that ends where an inaccessible page begins and that can be made
// read-only: the editor's constant data, which a read past its end or any
// write would fault on.
class GuardedBlock {
public:
    explicit GuardedBlock(const std::vector<uint8_t>& content) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (content.size() + page_ - 1) / page_ + 1;
        base_ = static_cast<uint8_t*>(
            mmap(nullptr, (data_pages_ + 1) * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) std::abort();
        mprotect(base_ + data_pages_ * page_, page_, PROT_NONE);
        block_ = base_ + data_pages_ * page_ - content.size();
        std::memcpy(block_, content.data(), content.size());
        mprotect(base_, data_pages_ * page_, PROT_READ);
    }
    ~GuardedBlock() { munmap(base_, (data_pages_ + 1) * page_); }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;
    uint8_t* data() const { return block_; }

private:
    size_t page_ = 0;
    size_t data_pages_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* block_ = nullptr;
};

struct Saved {
    int size_result = 0;
    int fill_result = 0;
    std::vector<uint8_t> record;  // the bytes the editor keeps: as many as the fill reported
};

// As the editor saves: a size query, a block of exactly that size, a fill.
Saved Save(RelayContext& context) {
    Saved saved;
    saved.size_result = context.GetSettings(nullptr, 0);
    if (saved.size_result <= 0) return saved;
    ExactBlock block(static_cast<size_t>(saved.size_result));
    saved.fill_result = context.GetSettings(block.data(), saved.size_result);
    if (saved.fill_result > 0 && saved.fill_result <= saved.size_result) {
        saved.record.assign(block.data(), block.data() + saved.fill_result);
    }
    return saved;
}

int Restore(RelayContext& context, const std::vector<uint8_t>& record) {
    ExactBlock block(record);
    return context.SetSettings(block.data(), static_cast<int>(record.size()));
}

// A relay context over an editor folder holding the given sub-plugins.
class SettingsTest : public ::testing::Test {
protected:
    void Open(const std::vector<std::string>& modules) {
        for (const std::string& module : modules) editor_.Install(module);
        ASSERT_TRUE(context_.Open());
        ASSERT_EQ(context_.plugins.size(), modules.size());
        TakeCalls();
    }
    OutputPluginTable* Table(const std::string& file_name) {
        const SubPluginEntry* entry = FindByFileName(context_.plugins, file_name.c_str());
        return entry != nullptr ? entry->table : nullptr;
    }
    ModuleHandle Module(const std::string& file_name) {
        const SubPluginEntry* entry = FindByFileName(context_.plugins, file_name.c_str());
        return entry != nullptr ? entry->module : nullptr;
    }
    // What the sub-plugin's own config_get gives right now.
    std::string CurrentSettingsOf(const std::string& file_name) {
        OutputPluginTable* table = Table(file_name);
        int size = table->config_get(nullptr, 0);
        std::string bytes(static_cast<size_t>(size), '\0');
        table->config_get(&bytes[0], size);
        TakeCalls();
        return bytes;
    }

    EditorFolder editor_;
    RelayContext context_;
};

}  // namespace

TEST_F(SettingsTest, ARoundTripNestsTheSubPluginsSettingsAndRestoresThemByteForByte) {
    Open({"with_settings.auo_", "basic.auo_"});
    context_.selected = Table("with_settings.auo_");
    context_.buffer_count = 30;

    int size_result = context_.GetSettings(nullptr, 0);
    std::vector<RecordedCall> query = CallsTo(TakeCalls(), "with_settings.auo_", "config_get");
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0].detail, 0);
    EXPECT_EQ(query[0].argument, 0 - kHeader);
    int n = query[0].result;
    ASSERT_GT(n, 0);
    EXPECT_EQ(size_result, n + kHeader);
    EXPECT_EQ(context_.settings_cache.size(), static_cast<size_t>(n) + 1292);

    ExactBlock block(static_cast<size_t>(size_result));
    int fill_result = context_.GetSettings(block.data(), size_result);
    std::vector<RecordedCall> fill = CallsTo(TakeCalls(), "with_settings.auo_", "config_get");
    ASSERT_EQ(fill.size(), 1u);
    EXPECT_EQ(fill[0].detail, 1);
    EXPECT_EQ(fill[0].argument, n);
    EXPECT_EQ(fill_result, fill[0].result + kHeader);
    EXPECT_EQ(Magic(block.data()), std::string("ikm\0", 4));
    EXPECT_EQ(Get32(block.data(), 4), 30);
    EXPECT_EQ(Get32(block.data(), 8), n);
    EXPECT_EQ(NameField(block.data()), Padded("with_settings.auo_"));
    std::string saved_inner = Inner(block.data(), static_cast<size_t>(n));
    EXPECT_EQ(saved_inner, fill[0].bytes);
    EXPECT_EQ(saved_inner.compare(0, 30, "settings of with_settings.auo_"), 0);
    std::vector<uint8_t> saved = block.Content();

    // The user changes the sub-plugin's settings and the relay's choice.
    OutputPluginTable* table = Table("with_settings.auo_");
    table->config(nullptr, Module("with_settings.auo_"));
    ASSERT_NE(CurrentSettingsOf("with_settings.auo_"), saved_inner);
    context_.selected = Table("basic.auo_");
    context_.buffer_count = 5;

    EXPECT_EQ(Restore(context_, saved), n + kHeader);
    EXPECT_EQ(context_.selected, table);
    EXPECT_EQ(context_.buffer_count, 30);
    // The restored record, plus the slack a sub-plugin's next fill may write into.
    EXPECT_EQ(context_.settings_cache.size(), saved.size() + 1024);
    std::vector<RecordedCall> calls = TakeCalls();
    std::vector<RecordedCall> sets = CallsTo(calls, "", "config_set");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].module, "with_settings.auo_");
    EXPECT_EQ(sets[0].argument, n);
    EXPECT_EQ(sets[0].bytes, saved_inner);
    EXPECT_EQ(CurrentSettingsOf("with_settings.auo_"), saved_inner);

    // Saved again, the record is the same one.
    Saved again = Save(context_);
    EXPECT_EQ(again.record, saved);
}

TEST_F(SettingsTest, WithoutASelectionTheRecordIsABareHeader) {
    Open({"with_settings.auo_"});
    context_.selected = nullptr;
    context_.buffer_count = 12;
    EXPECT_EQ(context_.GetSettings(nullptr, 0), kHeader);
    EXPECT_FALSE(context_.settings_cache);

    ExactBlock block(kHeader);
    EXPECT_EQ(context_.GetSettings(block.data(), kHeader), kHeader);
    EXPECT_EQ(Magic(block.data()), std::string("ikm\0", 4));
    EXPECT_EQ(Get32(block.data(), 4), 12);
    EXPECT_EQ(Get32(block.data(), 8), 0);
    EXPECT_EQ(NameField(block.data()), std::string(256, '\0'));

    ExactBlock short_block(kHeader - 1);
    EXPECT_EQ(context_.GetSettings(short_block.data(), kHeader - 1), 0);
    EXPECT_EQ(short_block.Content(), std::vector<uint8_t>(kHeader - 1, 0xCC));
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(SettingsTest, ASubPluginWithoutConfigGetGivesAHeaderWithItsName) {
    Open({"set_only.auo_", "basic.auo_"});
    context_.selected = Table("set_only.auo_");
    Saved saved = Save(context_);
    EXPECT_EQ(saved.size_result, kHeader);
    ASSERT_EQ(saved.fill_result, kHeader);
    EXPECT_EQ(Get32(saved.record.data(), 8), 0);
    EXPECT_EQ(NameField(saved.record.data()), Padded("set_only.auo_"));

    context_.selected = Table("basic.auo_");
    EXPECT_EQ(Restore(context_, saved.record), kHeader);
    EXPECT_EQ(context_.selected, Table("set_only.auo_"));
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "set_only.auo_", "config_set");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].argument, 0);

    // A sub-plugin with neither function restores to 268.
    context_.selected = Table("basic.auo_");
    Saved basic = Save(context_);
    context_.selected = nullptr;
    EXPECT_EQ(Restore(context_, basic.record), kHeader);
    EXPECT_EQ(context_.selected, Table("basic.auo_"));
}

TEST_F(SettingsTest, AWrongMagicChangesNothing) {
    Open({"with_settings.auo_"});
    context_.buffer_count = 21;
    ASSERT_GT(context_.GetSettings(nullptr, 0), kHeader);
    const uint8_t* cache = context_.settings_cache.data();
    std::vector<uint8_t> cached(cache, cache + context_.settings_cache.size());
    TakeCalls();

    std::vector<uint8_t> record = MakeRecord(30, "with_settings.auo_", "inner");
    for (const char* magic : {"ikm\x01", "IKM\0", "\0ikm", "ikn\0"}) {
        std::memcpy(record.data(), magic, 4);
        EXPECT_EQ(Restore(context_, record), 0) << magic;
    }
    EXPECT_EQ(context_.selected, Table("with_settings.auo_"));
    EXPECT_EQ(context_.buffer_count, 21);
    ASSERT_EQ(context_.settings_cache.data(), cache);
    EXPECT_EQ(std::vector<uint8_t>(cache, cache + context_.settings_cache.size()), cached);
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_EQ(context_.SetSettings(nullptr, 1000), 0);
}

TEST_F(SettingsTest, AnUnknownFileNameClearsTheSelectionAndCacheButKeepsTheCount) {
    Open({"with_settings.auo_"});
    for (const char* name : {"gone.auo_", "WITH_SETTINGS.AUO_", "with_settings.auo", ""}) {
        context_.selected = Table("with_settings.auo_");
        context_.buffer_count = 17;
        ASSERT_GT(context_.GetSettings(nullptr, 0), 0);
        EXPECT_EQ(Restore(context_, MakeRecord(30, name, "abc")), 0) << name;
        EXPECT_EQ(context_.selected, nullptr) << name;
        EXPECT_FALSE(context_.settings_cache) << name;
        EXPECT_EQ(context_.buffer_count, 17) << name;
    }
    EXPECT_TRUE(CallsTo(TakeCalls(), "", "config_set").empty());
}

TEST_F(SettingsTest, RestoredCountsAreTakenAsStored) {
    Open({"with_settings.auo_"});
    std::string inner = CurrentSettingsOf("with_settings.auo_");
    for (int32_t count : {100, 0, -5, 1, 48, INT_MAX}) {
        context_.buffer_count = 8;
        EXPECT_GT(Restore(context_, MakeRecord(count, "with_settings.auo_", inner)), 0) << count;
        EXPECT_EQ(context_.buffer_count, count);
        // A fill without a new size query keeps the restored header.
        ExactBlock block(kHeader + inner.size());
        EXPECT_EQ(context_.GetSettings(block.data(), static_cast<int>(block.size)),
                  static_cast<int>(kHeader + inner.size()));
        EXPECT_EQ(Get32(block.data(), 4), count);
    }
}

TEST_F(SettingsTest, ShortAndTruncatedBlocksAreRefusedWithoutReadingPastThem) {
    Open({"with_settings.auo_", "twin_a.auo_"});
    context_.selected = Table("twin_a.auo_");
    context_.buffer_count = 12;
    ASSERT_GT(context_.GetSettings(nullptr, 0), 0);
    const uint8_t* cache = context_.settings_cache.data();
    TakeCalls();

    std::vector<uint8_t> whole = MakeRecord(30, "with_settings.auo_", std::string(40, 'x'));
    struct Case {
        const char* what;
        std::vector<uint8_t> block;
        int size;
    };
    std::vector<uint8_t> negative_inner = whole;
    Put32(negative_inner.data(), 8, -1);
    std::vector<uint8_t> huge_inner = whole;
    Put32(huge_inner.data(), 8, INT_MAX);
    std::vector<uint8_t> header_only(whole.begin(), whole.begin() + kHeader);
    const std::vector<Case> cases = {
        {"magic only", std::vector<uint8_t>(whole.begin(), whole.begin() + 4), 4},
        {"one byte short of a header", std::vector<uint8_t>(whole.begin(), whole.begin() + kHeader - 1), kHeader - 1},
        {"header without its 40 inner bytes", header_only, kHeader},
        {"one inner byte short", std::vector<uint8_t>(whole.begin(), whole.end() - 1), kHeader + 39},
        {"negative inner length", negative_inner, static_cast<int>(negative_inner.size())},
        {"inner length past any block", huge_inner, static_cast<int>(huge_inner.size())},
        {"negative size", whole, -1},
        {"size smaller than the record says", whole, kHeader + 10},
    };
    for (const Case& c : cases) {
        ExactBlock exact(c.block);
        EXPECT_EQ(context_.SetSettings(exact.data(), c.size), 0) << c.what;
        EXPECT_EQ(exact.Content(), c.block) << c.what;
        GuardedBlock guarded(c.block);
        EXPECT_EQ(context_.SetSettings(guarded.data(), c.size), 0) << c.what;
        EXPECT_EQ(context_.selected, Table("twin_a.auo_")) << c.what;
        EXPECT_EQ(context_.buffer_count, 12) << c.what;
        EXPECT_EQ(context_.settings_cache.data(), cache) << c.what;
    }
    EXPECT_TRUE(TakeCalls().empty());

    // The whole record, from constant data, is accepted.
    GuardedBlock guarded(whole);
    EXPECT_EQ(context_.SetSettings(guarded.data(), static_cast<int>(whole.size())), kHeader + 40);
    EXPECT_EQ(context_.selected, Table("with_settings.auo_"));
}

TEST_F(SettingsTest, ANegativeAnnouncedSizeSavesTheRelaysSettingsWithoutInnerOnes) {
    Open({"negative_size.auo_"});
    context_.buffer_count = 9;
    EXPECT_EQ(context_.GetSettings(nullptr, 0), kHeader);
    ASSERT_TRUE(context_.settings_cache);
    EXPECT_EQ(context_.settings_cache.size(), 1292u);

    ExactBlock block(kHeader);
    EXPECT_EQ(context_.GetSettings(block.data(), kHeader), kHeader);
    EXPECT_EQ(Get32(block.data(), 4), 9);
    EXPECT_EQ(Get32(block.data(), 8), 0);
    EXPECT_EQ(NameField(block.data()), Padded("negative_size.auo_"));
    std::vector<RecordedCall> gets = CallsTo(TakeCalls(), "negative_size.auo_", "config_get");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].argument, 0);

    context_.buffer_count = 8;
    EXPECT_EQ(Restore(context_, block.Content()), kHeader);
    EXPECT_EQ(context_.buffer_count, 9);
}

TEST_F(SettingsTest, AFillThatClaimsMoreThanItAnnouncedReportsOnlyWhatTheRecordHolds) {
    Open({"oversized_fill.auo_"});
    int size_result = context_.GetSettings(nullptr, 0);
    int n = size_result - kHeader;
    ASSERT_GT(n, 0);
    TakeCalls();
    ExactBlock block(static_cast<size_t>(size_result));
    EXPECT_EQ(context_.GetSettings(block.data(), size_result), size_result);
    std::vector<RecordedCall> fills = CallsTo(TakeCalls(), "oversized_fill.auo_", "config_get");
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].result, n + 100);
    EXPECT_EQ(Get32(block.data(), 8), n);
    EXPECT_EQ(Inner(block.data(), static_cast<size_t>(n)), fills[0].bytes.substr(0, static_cast<size_t>(n)));

    EXPECT_EQ(Restore(context_, block.Content()), size_result);
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "oversized_fill.auo_", "config_set");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].argument, n);
}

TEST_F(SettingsTest, SavingARestoredRecordGivesAnOverwritingSubPluginTheSameSlackAsABuiltOne) {
    Open({"oversized_fill.auo_"});
    int size_result = context_.GetSettings(nullptr, 0);
    ExactBlock saved(static_cast<size_t>(size_result));
    ASSERT_EQ(context_.GetSettings(saved.data(), size_result), size_result);
    ASSERT_EQ(Restore(context_, saved.Content()), size_result);
    TakeCalls();
    // The fill writes into the restored cache, past what it was offered:
    // under AddressSanitizer an exactly sized cache would fault here.
    ExactBlock again(static_cast<size_t>(size_result));
    EXPECT_EQ(context_.GetSettings(again.data(), size_result), size_result);
    EXPECT_EQ(again.Content(), saved.Content());
}

TEST_F(SettingsTest, AFillThatGivesLessThanItAnnouncedLeavesAConsistentRecord) {
    Open({"with_settings.auo_"});
    int size_result = context_.GetSettings(nullptr, 0);
    ASSERT_GT(size_result, kHeader + 11);
    // Between the editor's two calls the sub-plugin's settings shrink.
    std::string shorter = "short-lived";
    Table("with_settings.auo_")->config_set(&shorter[0], static_cast<int>(shorter.size()));
    TakeCalls();

    ExactBlock block(static_cast<size_t>(size_result));
    int fill_result = context_.GetSettings(block.data(), size_result);
    EXPECT_EQ(fill_result, kHeader + 11);
    EXPECT_EQ(Get32(block.data(), 8), 11);
    EXPECT_EQ(Inner(block.data(), 11), shorter);

    // The editor keeps the reported bytes only; they restore as they are.
    std::vector<uint8_t> kept(block.data(), block.data() + fill_result);
    EXPECT_EQ(Restore(context_, kept), kHeader + 11);
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "with_settings.auo_", "config_set");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].bytes, shorter);
}

TEST_F(SettingsTest, AFillAfterTheChoiceChangedNeverFilesOneSubPluginsSettingsUnderAnother) {
    Open({"twin_a.auo_", "twin_b.auo_", "with_settings.auo_"});
    std::string twin_b_settings = CurrentSettingsOf("twin_b.auo_");
    std::string with_settings = CurrentSettingsOf("with_settings.auo_");

    // Same display name, same size: the record must name the one it holds.
    context_.selected = Table("twin_a.auo_");
    int size_result = context_.GetSettings(nullptr, 0);
    context_.selected = Table("twin_b.auo_");
    ExactBlock block(static_cast<size_t>(size_result));
    ASSERT_EQ(context_.GetSettings(block.data(), size_result), size_result);
    EXPECT_EQ(NameField(block.data()), Padded("twin_b.auo_"));
    EXPECT_EQ(Inner(block.data(), twin_b_settings.size()), twin_b_settings);
    EXPECT_TRUE(CallsTo(TakeCalls(), "twin_a.auo_", "config_get").size() == 1u);

    // A larger sub-plugin does not fit the block sized for the first.
    context_.selected = Table("twin_a.auo_");
    size_result = context_.GetSettings(nullptr, 0);
    context_.selected = Table("with_settings.auo_");
    ExactBlock small(static_cast<size_t>(size_result));
    EXPECT_EQ(context_.GetSettings(small.data(), size_result), 0);
    EXPECT_EQ(small.Content(), std::vector<uint8_t>(static_cast<size_t>(size_result), 0xCC));
    ExactBlock large(4096);
    ASSERT_EQ(context_.GetSettings(large.data(), 4096), static_cast<int>(kHeader + with_settings.size()));
    EXPECT_EQ(NameField(large.data()), Padded("with_settings.auo_"));
    EXPECT_EQ(Inner(large.data(), with_settings.size()), with_settings);

    // A changed count is saved as it now is.
    context_.buffer_count = 8;
    size_result = context_.GetSettings(nullptr, 0);
    context_.buffer_count = 20;
    ExactBlock counted(static_cast<size_t>(size_result));
    ASSERT_EQ(context_.GetSettings(counted.data(), size_result), size_result);
    EXPECT_EQ(Get32(counted.data(), 4), 20);
}

TEST_F(SettingsTest, AFillWithoutChangesCopiesTheRestoredHeader) {
    Open({"twin_a.auo_"});
    std::string inner = CurrentSettingsOf("twin_a.auo_");
    std::vector<uint8_t> record = MakeRecord(14, "twin_a.auo_", inner);
    // Bytes after the name's NUL, and a last name byte the relay's copy ends.
    std::memcpy(record.data() + 12 + 12, "left over", 9);
    record[267] = 'Z';
    GuardedBlock constant(record);
    ASSERT_GT(context_.SetSettings(constant.data(), static_cast<int>(record.size())), 0);
    EXPECT_EQ(context_.settings_cache.data()[267], 0);

    ExactBlock block(record.size());
    ASSERT_EQ(context_.GetSettings(block.data(), static_cast<int>(record.size())), static_cast<int>(record.size()));
    std::vector<uint8_t> expected = record;
    expected[267] = 0;
    EXPECT_EQ(block.Content(), expected);
}

TEST(SettingsLongNames, AreStoredUnderTheirFirst255BytesAndAFullFieldIsReadTheSame) {
    static int announced = 5;
    struct Fake {
        static int Get(void* data, int size) {
            if (data == nullptr) return announced;
            std::memcpy(data, "fake!", static_cast<size_t>(size < 5 ? size : 5));
            return 5;
        }
        static int Set(void*, int size) { return size; }
    };
    OutputPluginTable cut_table{};
    cut_table.name = "Cut";
    cut_table.config_get = Fake::Get;
    cut_table.config_set = Fake::Set;
    OutputPluginTable exact_table = cut_table;
    exact_table.name = "Exact";

    // 254 bytes and a double-byte character ("テ") whose second byte falls
    // past the field's 255 bytes.
    std::string cut_name = std::string(254, 'a') + "\x83\x65";
    std::string exact_name(255, 'b');
    RelayContext context;
    context.plugins.push_back(SubPluginEntry{cut_name, nullptr, &cut_table});
    context.plugins.push_back(SubPluginEntry{exact_name, nullptr, &exact_table});

    context.selected = &cut_table;
    Saved cut = Save(context);
    ASSERT_EQ(cut.fill_result, kHeader + 5);
    EXPECT_EQ(NameField(cut.record.data()), Padded(std::string(254, 'a') + "\x83"));
    EXPECT_EQ(Restore(context, cut.record), 0);
    EXPECT_EQ(context.selected, nullptr);
    EXPECT_FALSE(context.settings_cache);

    context.selected = &exact_table;
    Saved exact = Save(context);
    ASSERT_EQ(exact.fill_result, kHeader + 5);
    EXPECT_EQ(NameField(exact.record.data()), exact_name + std::string(1, '\0'));
    context.selected = nullptr;
    EXPECT_EQ(Restore(context, exact.record), kHeader + 5);
    EXPECT_EQ(context.selected, &exact_table);

    // A field of 256 name bytes is read as its first 255, as if its last byte
    // were NUL, without the relay writing into the editor's constant block.
    std::vector<uint8_t> full = exact.record;
    full[267] = 'b';
    GuardedBlock constant(full);
    context.selected = nullptr;
    EXPECT_EQ(context.SetSettings(constant.data(), static_cast<int>(full.size())), kHeader + 5);
    EXPECT_EQ(context.selected, &exact_table);
    EXPECT_EQ(constant.data()[267], 'b');
    EXPECT_EQ(context.settings_cache.data()[267], 0);
}

TEST(SettingsExhaustion, NeitherOperationThrowsAndFailuresLeaveTheCacheEmpty) {
    static int sets = 0;
    struct Fake {
        static int Get(void* data, int size) {
            if (data != nullptr) std::memset(data, 'g', static_cast<size_t>(size));
            return 16;
        }
        static int Set(void*, int size) {
            ++sets;
            return size;
        }
    };
    OutputPluginTable first{};
    first.name = "First";
    first.config_get = Fake::Get;
    first.config_set = Fake::Set;
    OutputPluginTable second = first;
    second.name = "Second";
    OutputPluginTable bare{};
    bare.name = "Bare";
    RelayContext context;
    context.plugins.push_back(SubPluginEntry{"first.auo_", nullptr, &first});
    context.plugins.push_back(SubPluginEntry{"second.auo_", nullptr, &second});
    context.plugins.push_back(SubPluginEntry{"bare.auo_", nullptr, &bare});
    context.selected = &first;
    ASSERT_EQ(context.GetSettings(nullptr, 0), kHeader + 16);
    std::vector<uint8_t> record = MakeRecord(30, "second.auo_", std::string(16, 's'));
    ExactBlock block(record);
    ExactBlock target(kHeader + 16);
    sets = 0;

    int query = -1, fill = -1, restore = -1, bare_query = -1, bare_fill = -1, refused = 0;
    bool threw = false;
    try {
        AllocationFailureScope exhausted;
        query = context.GetSettings(nullptr, 0);
        fill = context.GetSettings(target.data(), kHeader + 16);
        restore = context.SetSettings(block.data(), static_cast<int>(record.size()));
        context.selected = &bare;
        bare_query = context.GetSettings(nullptr, 0);
        bare_fill = context.GetSettings(target.data(), kHeader + 16);
        context.selected = &first;
        refused = exhausted.refused();
    } catch (...) {
        threw = true;
    }
    EXPECT_FALSE(threw);
    EXPECT_GE(refused, 2);
    EXPECT_EQ(query, 0);
    EXPECT_EQ(fill, 0);
    EXPECT_EQ(restore, 0);
    EXPECT_EQ(bare_query, kHeader);
    EXPECT_EQ(bare_fill, kHeader);
    EXPECT_FALSE(context.settings_cache);
    EXPECT_EQ(context.selected, &first);
    EXPECT_EQ(context.buffer_count, 8);
    EXPECT_EQ(sets, 0);
}

TEST(SettingsLifeCycle, ASecondInitUnloadsRescansAndForgetsTheRestoredSettings) {
    EditorFolder editor;
    editor.Install("with_settings.auo_");
    editor.Install("twin_a.auo_");
    ASSERT_EQ(PluginInit(), 1);
    RelayContext* context = ModuleContext();
    ASSERT_EQ(context->plugins.size(), 2u);
    const std::string first = context->plugins[0].file_name;
    const std::string second = context->plugins[1].file_name;
    ASSERT_EQ(context->selected, context->plugins[0].table);

    // The editor restores a record that chooses the second sub-plugin.
    OutputPluginTable* second_table = context->plugins[1].table;
    int inner_size = second_table->config_get(nullptr, 0);
    std::string inner(static_cast<size_t>(inner_size), '\0');
    second_table->config_get(&inner[0], inner_size);
    std::vector<uint8_t> record = MakeRecord(30, second, inner);
    ExactBlock block(record);
    ASSERT_EQ(PluginConfigSet(block.data(), static_cast<int>(record.size())), kHeader + inner_size);
    ASSERT_EQ(context->selected, second_table);
    ASSERT_EQ(context->buffer_count, 30);
    TakeCalls();

    ASSERT_EQ(PluginInit(), 1);
    std::vector<RecordedCall> calls = TakeCalls();
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(CallsTo(calls, name, "exit").size(), 1u) << name;
        // Started anew: the module was really unloaded in between.
        EXPECT_EQ(CallsTo(calls, name, "load").size(), 1u) << name;
        EXPECT_EQ(CallsTo(calls, name, "init").size(), 1u) << name;
    }
    context = ModuleContext();
    ASSERT_EQ(context->plugins.size(), 2u);
    EXPECT_EQ(context->selected, context->plugins[0].table);
    EXPECT_EQ(context->buffer_count, 8);
    EXPECT_FALSE(context->settings_cache);

    // Seen as the editor sees it: a fill finds no record until a size query.
    ExactBlock fill(4096);
    EXPECT_EQ(PluginConfigGet(fill.data(), 4096), 0);
    int size_result = PluginConfigGet(nullptr, 0);
    ASSERT_GT(size_result, kHeader);
    ASSERT_EQ(PluginConfigGet(fill.data(), 4096), size_result);
    EXPECT_EQ(Get32(fill.data(), 4), 8);
    EXPECT_EQ(NameField(fill.data()), Padded(first));
    EXPECT_EQ(PluginExit(), 1);
}
