// Sharing a found song by SMS with the program itself: a scripted headless
// run identifies a catalogue song on the real server, and "Share ID" sends
// it through a mock ModemManager on a private bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/e2e/catalogue_server.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

TEST(ShareProgram, AFoundSongIsSentToTheTypedNumber) {
  const std::string missing = PrivateBus::MissingTools();
  if (!missing.empty()) GTEST_SKIP() << missing;
  PrivateBus bus;
  std::string error;
  ASSERT_TRUE(bus.startWithModemManager(&error)) << error;
  std::string modem;
  ASSERT_TRUE(bus.addModem(true, "sends", &modem));

  const fs::path folder = MakeTempFolder("melodex-e2e-share");
  const CatalogueServer::Song song{"Band Four", "Song Four", 44};
  CatalogueServer server(folder / "server", {song});
  ASSERT_TRUE(server.started());
  std::ofstream(folder / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Identify, "Share ID" (the last item, one Up from the first), the number,
  // "Share ID!", then "back" twice: the first stays on the result page.
  std::ofstream(folder / "script") << "key Enter\nkey Enter\nwait 14100\nwait 1500\nscreen\n"
                                   << "key Up\nkey Enter\nscreen\n"
                                   << "key 2\nkey 0\nkey 2\nkey 5\nkey 5\nkey 5\nkey 0\nkey 1\nkey 4\nkey 3\n"
                                   << "key SoftRight\nscreen\nkey SoftLeft\nscreen\nkey SoftLeft\nscreen\n";
  const std::string command = "XDG_RUNTIME_DIR=" + folder.string() + " MELODEX_SYSTEM_BUS_ADDRESS='" +
                              bus.address() + "' " + MELODEX_EXE + " --backend headless --home " +
                              (folder / "home").string() + " --settings " + (folder / "settings.toml").string() +
                              " --mic-file '" + server.songFile(song).string() + "' --script " +
                              (folder / "script").string();
  FILE* run = popen(command.c_str(), "r");
  ASSERT_NE(run, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(run), 0);
  EXPECT_NE(out.find("screen 6\nscreen 7\nscreen 6\nscreen 6\nscreen 3\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("SMS Error"), std::string::npos) << out;

  const auto sent = bus.messages(modem);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].number, "+12025550143");
  EXPECT_FALSE(sent[0].text.empty());
  EXPECT_EQ(sent[0].messageClass, 1);
  EXPECT_FALSE(sent[0].deliveryReport);
  EXPECT_EQ(sent[0].state, 5u);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
