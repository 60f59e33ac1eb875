#include "server/catalog/metadata.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

namespace melodex::server {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytesOf(const TagLib::ByteVector& v) { return {v.data(), v.data() + v.size()}; }

std::vector<uint8_t> fromId3(TagLib::ID3v2::Tag* tag) {
    if (tag == nullptr) return {};
    std::vector<uint8_t> any;
    for (TagLib::ID3v2::Frame* frame : tag->frameListMap()["APIC"]) {
        auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (picture == nullptr) continue;
        if (picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) return bytesOf(picture->picture());
        if (any.empty()) any = bytesOf(picture->picture());
    }
    return any;
}

std::vector<uint8_t> fromPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
    std::vector<uint8_t> any;
    for (TagLib::FLAC::Picture* picture : pictures) {
        if (picture->type() == TagLib::FLAC::Picture::FrontCover) return bytesOf(picture->data());
        if (any.empty()) any = bytesOf(picture->data());
    }
    return any;
}

std::vector<uint8_t> embeddedCover(TagLib::File* file) {
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) return fromId3(mpeg->ID3v2Tag());
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) return fromId3(wav->ID3v2Tag());
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        std::vector<uint8_t> cover = fromPictures(flac->pictureList());
        if (cover.empty() && flac->xiphComment()) cover = fromPictures(flac->xiphComment()->pictureList());
        return cover;
    }
    if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) return vorbis->tag() ? fromPictures(vorbis->tag()->pictureList()) : std::vector<uint8_t>{};
    if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) return opus->tag() ? fromPictures(opus->tag()->pictureList()) : std::vector<uint8_t>{};
    if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        if (mp4->tag() && mp4->tag()->contains("covr")) {
            const TagLib::MP4::CoverArtList covers = mp4->tag()->item("covr").toCoverArtList();
            if (!covers.isEmpty()) return bytesOf(covers.front().data());
        }
    }
    return {};
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<uint8_t> coverBeside(const fs::path& file) {
    static const char* const kNames[] = {"cover.jpg", "folder.jpg", "cover.jpeg", "folder.jpeg", "cover.png", "folder.png"};
    std::error_code ec;
    for (const char* wanted : kNames) {
        for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path(), ec)) {
            if (!entry.is_regular_file(ec) || lower(entry.path().filename().string()) != wanted) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        }
    }
    return {};
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t_");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t_") - b + 1);
}

}  // namespace

TrackMetadata readMetadata(const std::string& path) {
    TrackMetadata meta;
    TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Fast);
    if (!ref.isNull()) {
        if (TagLib::Tag* tag = ref.tag()) {
            meta.artist = tag->artist().to8Bit(true);
            meta.album = tag->album().to8Bit(true);
            meta.title = tag->title().to8Bit(true);
        }
        if (TagLib::AudioProperties* audio = ref.audioProperties()) meta.duration = audio->lengthInMilliseconds() / 1000.0;
        meta.cover = embeddedCover(ref.file());
    }
    const fs::path file(path);
    if (meta.cover.empty()) meta.cover = coverBeside(file);
    if (meta.title.empty()) {
        const std::string stem = file.stem().string();
        const size_t dash = stem.find(" - ");
        if (dash != std::string::npos) {
            if (meta.artist.empty()) meta.artist = trim(stem.substr(0, dash));
            meta.title = trim(stem.substr(dash + 3));
        } else {
            meta.title = trim(stem);
        }
    }
    return meta;
}

}  // namespace melodex::server
