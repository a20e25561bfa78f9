// The static records: the filter table the host reads, a fresh GPU context, the texel-format
// choice, the one form of every message box, and the module's resource table.
#include <cstring>
#include <string>

#include "gpu/device.h"
#include "tests/plugin/plugin_fixture.h"
#include "worker/render_worker.h"

namespace kestrin::plugin_testing {
namespace {

using FilterRecord = PluginTest;

TEST_F(FilterRecord, TableMatchesTheTrackBarsAndTheHostsLayout) {
    FilterTable* table = GetFilterTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(GetFilterTable(), table);

    EXPECT_EQ(table->flags, 0x08040000u);
    EXPECT_EQ(table->windowWidth, 0);
    EXPECT_EQ(table->windowHeight, 0);
    EXPECT_STREQ(table->displayName, "Kestrin");
    EXPECT_STREQ(table->infoText, "kestrin by Tamsel, ver0.9");
    EXPECT_EQ(table->checkCount, 0);
    EXPECT_EQ(table->checkNames, nullptr);
    EXPECT_EQ(table->checkDefaults, nullptr);
    EXPECT_EQ(table->onProc, &FilterProc);
    EXPECT_EQ(table->onInit, &FilterInit);
    EXPECT_EQ(table->onExit, &FilterExit);
    EXPECT_EQ(table->onUpdate, &FilterUpdate);
    EXPECT_EQ(table->onWindowMessage, &FilterWndProc);
    EXPECT_EQ(table->trackValues, nullptr);
    EXPECT_EQ(table->hostFunctions, nullptr);
    EXPECT_EQ(table->window, nullptr);
    EXPECT_EQ(table->instance, nullptr);

    // Captions as code page 932 bytes: 強さ, 閾値, 範囲, パス, モード.
    struct Row {
        const char* caption;
        int32_t defaultValue, minimum, maximum;
    };
    const Row rows[] = {
        {"\x8B\xAD\x82\xB3", 128, 0, 256},     {"\xE8\x87\x92\x6C", 24, 0, 256},
        {"\x94\xCD\x88\xCD", 64, 0, 256},      {"\x83\x70\x83\x58", 1, 1, 5},
        {"\x83\x82\x81\x5B\x83\x68", 0, 0, 2},
    };
    ASSERT_EQ(table->trackCount, 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("track " + std::to_string(i));
        EXPECT_STREQ(table->trackNames[i], rows[i].caption);
        EXPECT_EQ(table->trackDefaults[i], rows[i].defaultValue);
        EXPECT_EQ(table->trackMinimums[i], rows[i].minimum);
        EXPECT_EQ(table->trackMaximums[i], rows[i].maximum);
    }
}

TEST_F(FilterRecord, ModuleResourceIsTheEffectAsRcdata104InJapanese) {
    const KestrinResourceEntry& e = kestrin_module_resources[0];
    EXPECT_EQ(e.type, 10);
    EXPECT_EQ(e.id, kEffectResourceId);
    EXPECT_EQ(e.language, 0x0411);
    EXPECT_GT(e.size, 0u);
    EXPECT_EQ(kestrin_module_resources[1].data, nullptr);
}

TEST_F(FilterRecord, FreshContextHoldsNothingAndNoSize) {
    GpuContext* c = NewGpuContext();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->d3d, nullptr);
    EXPECT_EQ(c->device, nullptr);
    EXPECT_EQ(c->sourceTexture, nullptr);
    EXPECT_EQ(c->renderTargets[0], nullptr);
    EXPECT_EQ(c->renderTargets[1], nullptr);
    EXPECT_EQ(c->transferSurface, nullptr);
    EXPECT_EQ(c->quadBuffer, nullptr);
    EXPECT_EQ(c->quadDeclaration, nullptr);
    EXPECT_EQ(c->effect, nullptr);
    EXPECT_EQ(c->hPixGain, nullptr);
    EXPECT_EQ(c->hPixDist, nullptr);
    EXPECT_EQ(c->hPosDist, nullptr);
    EXPECT_EQ(c->hTechnique, nullptr);
    EXPECT_EQ(c->hTechniqueU, nullptr);
    EXPECT_EQ(c->hTxRGB, nullptr);
    EXPECT_EQ(c->width, -1);
    EXPECT_EQ(c->height, -1);
    EXPECT_EQ(c->pitch, -1);
    EXPECT_EQ(c->passCount, 0);
    EXPECT_EQ(c->texelFormat, 1);
    EXPECT_FALSE(c->signedFormatSupported);
    EXPECT_FALSE(c->unsignedFormatSupported);
    EXPECT_EQ(c->worker, nullptr);
    DestroyContext(c);

    // Short of memory: no record, and FilterInit gives up before Direct3D without a word.
    hooks::failNothrowAllocation(1);
    EXPECT_EQ(NewGpuContext(), nullptr);
    hooks::failNothrowAllocation(1);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(g_context, nullptr);
    EXPECT_EQ(hooks::callCount("Direct3DCreate9"), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(FilterRecord, TexelFormatPrefersSigned) {
    struct Row {
        bool signedOk, unsignedOk;
        int32_t format;
    };
    const Row rows[] = {{true, true, 0}, {false, true, 1}, {false, false, 1}, {true, false, 0}};
    GpuContext* c = NewGpuContext();
    ASSERT_NE(c, nullptr);
    for (const Row& row : rows) {
        c->signedFormatSupported = row.signedOk;
        c->unsignedFormatSupported = row.unsignedOk;
        c->texelFormat = 1 - row.format;
        ChooseTexelFormat(c);
        EXPECT_EQ(c->texelFormat, row.format) << row.signedOk << row.unsignedOk;
    }
    DestroyContext(c);
    EXPECT_EQ(TexelD3DFormat(0), D3DFMT_Q16W16V16U16);
    EXPECT_EQ(TexelD3DFormat(1), D3DFMT_A16B16G16R16);
    EXPECT_EQ(static_cast<int>(D3DFMT_Q16W16V16U16), 110);
    EXPECT_EQ(static_cast<int>(D3DFMT_A16B16G16R16), 36);
}

TEST_F(FilterRecord, ShowErrorMakesExactlyTheOneMessageBoxCall) {
    EXPECT_EQ(ShowError(L"テスト"), 0);
    EXPECT_EQ(hooks::callCount("MessageBoxW"), 1);
    const auto boxes = hooks::messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].caption, u"Kestrin");
    EXPECT_EQ(boxes[0].style, 0x1010u);
    EXPECT_EQ(boxes[0].text, u"テスト");
}

} // namespace
} // namespace kestrin::plugin_testing
