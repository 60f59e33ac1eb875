// The song pages end to end: generated songs served in-process with their page store, each address
// fetched as a browser would.
#include <gtest/gtest.h>
#include <taglib/vorbisfile.h>

#include <fstream>
#include <memory>
#include <thread>

#include "server/fingerprint/audio_decoder.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/indexer.h"
#include "server/pages/ringtone.h"
#include "server/pages/song_pages.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server::test {
namespace {

constexpr int kRate = 8000;
const char* const kTitles[] = {"Song One", "Song Two", "Song Three"};
// An album name a spreadsheet would run as a formula, with quotes and a comma.
const char* const kAlbum = "=HYPERLINK(\"x\",1)";

std::string pathOf(const std::string& url) { return url.substr(url.find('/', 7)); }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// The offset a ringtone address carries, in seconds.
double offsetOf(const std::string& ringtone) { return std::stod(ringtone.substr(ringtone.find('-') + 1)) / 1000; }

// Two tracks of one album with a cover (the first 30 seconds of their songs as Ogg Vorbis, tagged)
// and one without (a WAV of 50 seconds, which browsers get converted).
class SongPagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        const std::string music = *dir_ / "music";
        std::filesystem::create_directories(music + "/album");
        std::vector<std::string> files;
        std::string ogg, error;
        for (uint32_t song = 0; song < 3; ++song) songs_.push_back(melody(song + 71, 50.0));
        for (int i = 0; i < 3; ++i) writeFile(*dir_ / kTitles[i], wavFile(songs_[i], kRate));
        for (int i = 0; i < 2; ++i) {
            files.push_back(music + "/album/track" + std::to_string(i) + ".ogg");
            ASSERT_TRUE(makeRingtone(*dir_ / kTitles[i], 0, ogg, error)) << error;
            writeFile(files.back(), {ogg.begin(), ogg.end()});
            TagLib::Ogg::Vorbis::File vorbis(files.back().c_str());
            vorbis.tag()->setArtist("Artist <A>");
            vorbis.tag()->setTitle(kTitles[i]);
            vorbis.tag()->setAlbum(kAlbum);
            ASSERT_TRUE(vorbis.save());
        }
        writeFile(music + "/album/cover.jpg", makeJpeg(600, 600));
        files.push_back(music + "/Artist B - Song Three.wav");
        std::filesystem::rename(*dir_ / kTitles[2], files.back());
        catalog_ = openSqliteCatalog(*dir_ / "catalog.sqlite", error);
        pages_ = openSqlitePageStore(*dir_ / "catalog.sqlite", error);
        index_ = openLmdbIndex(*dir_ / "index", error);
        ASSERT_TRUE(catalog_ && pages_ && index_ && pages_->linkKey(key_, error)) << error;
        ASSERT_EQ(Indexer(*catalog_, *index_).run(files, nullptr, nullptr).added, 3u);
        std::vector<TrackRecord> all;
        ASSERT_TRUE(catalog_->list(all, error)) << error;
        for (const TrackRecord& t : all)
            for (int song = 0; song < 3; ++song) ids_[song] = t.title == kTitles[song] ? t.id : ids_[song];
        ServiceOptions options;
        options.port = 0;
        options.queueSeconds = 600;
        service_ = std::make_unique<Service>(*catalog_, *index_, options, MatchParams{}, pages_.get());
        ASSERT_TRUE(service_->bind(error)) << error;
        runner_ = std::thread([] { service_->run(); });
    }
    // The stores and the folder go with the program, after the service they serve.
    static void TearDownTestSuite() {
        service_->stop();
        runner_.join();
    }

    // The reply to 11 seconds of `audio` from `at` seconds.
    static std::string post(const std::vector<float>& audio, double at, const std::string& owner) {
        const auto from = audio.begin() + static_cast<long>(at * kRate);
        const std::vector<uint8_t> body = clientBody({from, from + 11 * kRate});
        const RawReply res = replyTo(service_->port(), postRequest("/servlet/QuaverId?id=1017&ownerIdentifier=" + owner,
                                                                   std::string(body.begin(), body.end())));
        EXPECT_EQ(res.status, 200);
        return res.body;
    }
    // The path of the link `name` in the reply to song `song` from `at` seconds.
    static std::string link(size_t song, double at, const std::string& owner, const char* name) {
        return pathOf(element(post(songs_[song], at, owner), name));
    }
    // The reply to a GET of `path` with more header lines.
    static RawReply get(const std::string& path, const std::string& headers = "") {
        return replyTo(service_->port(), "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline std::unique_ptr<Catalog> catalog_;
    static inline std::unique_ptr<PageStore> pages_;
    static inline std::unique_ptr<Index> index_;
    static inline std::unique_ptr<Service> service_;
    static inline std::thread runner_;
    static inline std::vector<std::vector<float>> songs_;
    static inline uint32_t ids_[3] = {};
    static inline std::string key_;
};

TEST_F(SongPagesTest, LinksLeadToTheServicesPagesUnlessSetOrTurnedOffAndOnlyIssuedAddressesOpenOne) {
    // A kind the service does not offer, a link given with `set` and its value, and the links of the
    // ringtone, full song, wallpaper and picks: P the service's page (a short address), - none, S the value set.
    using Off = bool PageOptions::*;
    const std::tuple<const char*, size_t, Off, std::string StoreLinks::*, const char*, const char*> cases[] = {
        {"a song with a cover", 0, nullptr, nullptr, "", "PPPP"},
        {"no cover, no wallpaper", 2, nullptr, nullptr, "", "PP-P"},
        {"set none", 0, nullptr, &StoreLinks::ringer, "none", "-PPP"},
        {"a set URL wins", 0, nullptr, &StoreLinks::fullSong, "https://s.test/1", "PSPP"},
        {"a set wallpaper, no cover", 2, nullptr, &StoreLinks::wallpaper, "https://s.test/2", "PPSP"},
        {"picks off", 0, &PageOptions::picks, nullptr, "", "PPP-"},
        {"wallpaper off", 0, &PageOptions::wallpaper, nullptr, "", "PP-P"},
    };
    const std::string base = "http://127.0.0.1:65535";
    const char* const kPrefixes[] = {"/ringtone/", "/song/", "/wallpaper/", "/picks/"};
    TrackRecord track;
    bool found = false;
    std::string error;
    for (const auto& [name, song, off, field, set, expected] : cases) {
        SCOPED_TRACE(name);
        PageOptions options;
        if (off) options.*off = false;
        ASSERT_TRUE(catalog_->find(ids_[song], track, found, error)) << error;
        if (field) track.links.*field = set;
        const StoreLinks links = SongPages(*catalog_, *pages_, key_, options).links(track, 20, "phone", base);
        const std::string* got[] = {&links.ringer, &links.fullSong, &links.wallpaper, &links.recommend};
        for (int i = 0; i < 4; ++i) {
            const bool page = has(*got[i], base + kPrefixes[i] + std::to_string(ids_[song])) && got[i]->size() < 70;
            EXPECT_TRUE(expected[i] == 'P' ? page : expected[i] == 'S' ? *got[i] == set : got[i]->empty()) << *got[i];
        }
    }

    // Only the addresses the service issued open a page.
    const std::string reply = post(songs_[0], 10, "hostile");
    const std::string song = pathOf(element(reply, "FULL_SONG")), picks = pathOf(element(reply, "RECOMMEND"));
    const std::string ringtone = pathOf(element(reply, "RINGER")), signature = song.substr(song.find('~'));
    const std::string id = std::to_string(ids_[0]), other = std::to_string(ids_[1]);
    std::string changed = song, otherOwner = picks;
    changed.back() = changed.back() == 'A' ? 'B' : 'A';
    otherOwner[otherOwner.find('-') + 1] ^= 1;
    const std::pair<std::string, int> addresses[] = {
        {song, 200},
        {changed, 403}, {song.substr(0, song.size() - 1), 403},  // a changed or truncated signature
        {"/song/" + id, 403}, {"/song/" + id + "~", 403},          // none
        {"/song/" + other + signature, 403},    // another track with this track's signature
        {"/song/0" + id + signature, 403},      // the same number written otherwise
        {"/wallpaper/" + id + signature, 403},  // another kind
        {"/ringtone/" + id + "-0" + ringtone.substr(ringtone.find('~')), 403},  // the offset moved
        {otherOwner, 403}, {"/song/4294967297" + signature, 403},  // another phone; a number past 32 bits
        {song + "/../../../etc/passwd", 404}, {song + "/%2e%2e/cover.jpg", 404}, {song + "/audio/", 404},
        {"/song/../art/" + id + ".jpg", 403},
    };
    for (const auto& [path, status] : addresses) {
        const RawReply res = get(path);
        EXPECT_EQ(res.status, status) << path;
        EXPECT_TRUE(status == 200 || !has(res.body, "Song")) << "no track shows through " << path;
    }
    EXPECT_EQ(replyTo(service_->port(), postRequest(song, "x")).status, 405);
    // What `set none` takes out, the page no longer answers.
    ASSERT_TRUE(catalog_->setLink(ids_[0], LinkField::Ringer, "none", found, error)) << error;
    EXPECT_EQ(get(ringtone).status, 404);
    ASSERT_TRUE(catalog_->setLink(ids_[0], LinkField::Ringer, "", found, error)) << error;
}

TEST_F(SongPagesTest, FullSongAndRingtonePlayFromWhereAskedWithRangesOrAConversion) {
    const std::string ogg = link(0, 10, "player", "FULL_SONG"), page = get(ogg).body;
    EXPECT_TRUE(has(page, "<audio controls preload=\"metadata\" src=\"" + ogg + "/audio\"")) << page;
    EXPECT_TRUE(has(page, "Artist &lt;A&gt;") && has(page, "=HYPERLINK(&quot;x&quot;,1)")) << "names are escaped";
    EXPECT_LT(page.size(), 20000u);
    EXPECT_EQ(get(ogg + "/cover.jpg").header("content-type"), "image/jpeg");
    std::ifstream in(*dir_ / "music/album/track0.ogg", std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const size_t size = file.size();
    // Range, status, and the part of the file expected: its start and length.
    const std::tuple<const char*, int, size_t, size_t> ranges[] = {
        {"", 200, 0, size},
        {"bytes=100-1123", 206, 100, 1024},
        {"bytes=100-", 206, 100, size - 100}, {"bytes=-500", 206, size - 500, 500},
        {"bytes=0-99999999999", 206, 0, size},
        {"bytes=99999999999-", 416, 0, 0},
        // Ranges this server does not follow: the whole file.
        {"bytes=0-99999999999999999999999", 200, 0, size}, {"bytes=9-5", 200, 0, size}, {"bytes=0-1,5-6", 200, 0, size},
    };
    for (const auto& [asked, status, first, length] : ranges) {
        SCOPED_TRACE(asked);
        const RawReply res = get(ogg + "/audio", *asked ? "Range: " + std::string(asked) + "\r\n" : "");
        ASSERT_EQ(res.status, status);
        const std::string part = std::to_string(first) + "-" + std::to_string(first + length - 1);
        const std::string total = "/" + std::to_string(size);
        EXPECT_EQ(res.header("content-range"),
                  status == 206 ? "bytes " + part + total : status == 416 ? "bytes *" + total : "");
        if (status == 416) continue;
        EXPECT_EQ(res.header("content-type"), "audio/ogg");
        EXPECT_EQ(res.body, file.substr(first, length));
    }
    // The WAV comes as an MP3 of a fixed length, 16000 bytes a second, whose parts play from where asked.
    const RawReply middle = get(link(2, 20, "player", "FULL_SONG") + "/audio", "Range: bytes=480000-679999\r\n");
    EXPECT_EQ(middle.header("content-type"), "audio/mpeg");
    EXPECT_EQ(middle.header("content-range"), "bytes 480000-679999/800000");
    writeFile(*dir_ / "middle.mp3", {middle.body.begin(), middle.body.end()});
    std::vector<float> decoded;
    std::string error;
    ASSERT_TRUE(decodeAudioFile(*dir_ / "middle.mp3", decoded, error)) << error;
    EXPECT_NEAR(offsetOf(element(post(decoded, 0.5, "player"), "RINGER")), 30.5, 0.1);

    // The ringtone is thirty seconds from where the recording matched; identified from its second
    // second (past the fade in), it is that song a second later.
    const std::string ringtone = link(2, 17, "ringer", "RINGER");
    EXPECT_NEAR(offsetOf(ringtone), 17.0, 0.1);
    const RawReply ring = get(ringtone);
    EXPECT_EQ(ring.header("content-type"), "audio/ogg");
    EXPECT_TRUE(has(ring.header("content-disposition"), "filename=\"Artist B - Song Three.ogg\""));
    writeFile(*dir_ / "ring.ogg", {ring.body.begin(), ring.body.end()});
    ASSERT_TRUE(decodeAudioFile(*dir_ / "ring.ogg", decoded, error)) << error;
    EXPECT_NEAR(decoded.size() / double(kRate), 30.0, 0.1);
    EXPECT_NEAR(offsetOf(element(post(decoded, 1, "ringer"), "RINGER")), offsetOf(ringtone) + 1, 0.1);
}

TEST_F(SongPagesTest, TheWallpaperComesAtEachScreenSizeFromTheFullCover) {
    const std::string page = link(0, 10, "wall", "WALLPAPER"), html = get(page).body;
    for (const auto& [w, h] : {std::pair{720, 1440}, {1080, 2340}, {240, 320}, {480, 640}}) {
        const std::string name = std::to_string(w) + "x" + std::to_string(h) + ".jpg";
        EXPECT_TRUE(has(html, page + "/" + name)) << "the page offers " << name;
        EXPECT_EQ(jpegSize(get(page + "/" + name).body), std::make_pair(w, h));
    }
    for (const char* other : {"100x100.jpg", "720x1440.png", "0720x1440.jpg", "720x1440.jpg/..", "cover.jpg"})
        EXPECT_EQ(get(page + "/" + other).status, 404) << other;
    // A song without a cover is offered none; its page, reached all the same, says so.
    PageAddress address;
    address.kind = PageKind::Wallpaper;
    address.track = ids_[2];
    const std::string bare = formatPagePath(address, LinkSigner(key_));
    EXPECT_TRUE(has(get(bare).body, "no cover picture"));
    EXPECT_EQ(get(bare + "/240x320.jpg").status, 404);
}

TEST_F(SongPagesTest, PicksShowTheAlbumAndOnlyThisPhonesHistoryNewestFirst) {
    post(songs_[2], 5, "phone-a");
    const std::string mine = link(0, 10, "phone-a", "RECOMMEND"), theirs = link(1, 10, "phone-b", "RECOMMEND");
    const std::string page = get(mine).body;
    const size_t history = page.find("Identified on this phone");
    ASSERT_NE(history, std::string::npos);
    EXPECT_LT(page.find("Song Two"), history) << "the rest of the album comes first";
    EXPECT_LT(page.find("Song One", history), page.find("Song Three", history)) << "newest first";
    EXPECT_FALSE(has(page, "Artist <A>"));
    const std::string csv = get(mine + "/history.csv").body;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;
    // The album quoted and not a formula; each line links to its song.
    EXPECT_TRUE(has(csv, ",\"'=HYPERLINK(\"\"x\"\",1)\",") && has(csv, ",http://x/song/")) << csv;
    const std::string json = get(mine + "/history.json").body;
    EXPECT_TRUE(has(json, R"j("artist":"Artist <A>","title":"Song One","album":"=HYPERLINK(\"x\",1)")j")) << json;
    const std::string other = get(theirs + "/history.csv").body;
    EXPECT_TRUE(has(other, "Song Two") && !has(other, "Song One") && !has(other, "Song Three")) << "its own only";
}

}  // namespace
}  // namespace melodex::server::test
