#include <gtest/gtest.h>

#include <set>

#include "settings/Param.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsTestSupport.h"
#include "support/TestSupport.h"

TEST(SettingsKeys, FirstRunFileListsEveryKeyInOrderWithItsValue) {
    pwtest::TempDir dir;
    TParameter p;
    p.SetDir(dir.path().string());
    p.SetFileName("pixelwright.ini");
    p.Open();
    ASSERT_EQ(p.GetCount(), 0);
    SettingsKeys::WriteFirstRun(p, 120, -4);
    p.Save();
    const std::string expected =
        "Pixelwright 環境設定ファイル --- このファイルは、編集しないで下さい。\r\n"
        "Left=120\r\n"
        "Top=-4\r\n"
        "ClientWidth=650\r\n"
        "ClientHeight=500\r\n"
        "WindowState=0\r\n"
        "JPEGQuality=70\r\n"
        "エッジ強調レベル=1\r\n"
        "ノイズ除去レベル=0\r\n"
        "輪郭描画レベル=1\r\n"
        "モザイクレベル=2\r\n"
        "ポスタリゼーションレベル=2\r\n"
        "輪郭抽出レベル=1\r\n"
        "額縁の幅=1\r\n"
        "額縁のコントラスト=105\r\n"
        "額縁の光の方向=True\r\n"
        "OpenDir=\x1A\r\n"
        "SaveDir=\x1A\r\n"
        "Smooth=False\r\n"
        "HLeft=491\r\n"
        "HTop=355\r\n"
        "HClientWidth=294\r\n"
        "HClientHeight=209\r\n"
        "HWindowState=0\r\n"
        "Histgram=False\r\n"
        "PLeft=240\r\n"
        "PTop=235\r\n"
        "PClientWidth=454\r\n"
        "PClientHeight=294\r\n"
        "PWindowState=0\r\n"
        "PrintRatio=100\r\n"
        "PreviewRatio=20\r\n"
        "GraphicMode=0\r\n";
    EXPECT_EQ(settingstest::asString(pwtest::readFile(dir / "pixelwright.ini")), expected);

    // Every key then reads back with its own type, and overwriting keeps the order.
    TParameter q;
    q.SetDir(dir.path().string());
    q.SetFileName("pixelwright.ini");
    q.Open();
    for (const SettingsKeys::KeyInfo& key : SettingsKeys::Table) {
        SCOPED_TRACE(std::string(key.name));
        switch (key.type) {
        case SettingsKeys::KeyType::Integer:
            if (!key.placedBySystem) {
                EXPECT_EQ(q.ReadInteger(key.name), key.firstRunInteger);
            }
            break;
        case SettingsKeys::KeyType::Boolean:
            EXPECT_EQ(q.ReadBool(key.name), key.firstRunBoolean);
            break;
        case SettingsKeys::KeyType::String:
            EXPECT_EQ(q.ReadString(key.name), "");
            break;
        }
    }
    q.WriteInteger(SettingsKeys::JPEGQuality, 85);
    EXPECT_EQ(q.GetCount(), 33);
    EXPECT_EQ(q.GetLine(6), "JPEGQuality=85");
}

TEST(SettingsKeys, TableNamesAreDistinctAndFindable) {
    std::set<std::string> seen;
    for (const SettingsKeys::KeyInfo& key : SettingsKeys::Table) {
        std::string lower(key.name);
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        EXPECT_TRUE(seen.insert(lower).second) << key.name;
        EXPECT_EQ(SettingsKeys::Find(key.name), &key);
        EXPECT_EQ(SettingsKeys::Find(lower), &key);
    }
    EXPECT_EQ(SettingsKeys::Find("Nothing"), nullptr);
    EXPECT_EQ(SettingsKeys::Find(SettingsKeys::Header), nullptr);
}
