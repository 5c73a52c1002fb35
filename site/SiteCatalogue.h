// What the site stand-in has to offer: its video pages, the parts or
// episodes on each, and per part the qualities and segments its media
// servers hold. Tests fill a catalogue of their own; the demo uses
// DemoCatalogue(). Safe to read and change from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vidsite {

enum class TPageKind {
    Normal,          // a pages list ("pages")
    Series,          // an episode list ("epList")
    NoList,          // a page without either list
    ListWithoutCid,  // a pages list whose entries carry no cid
};

struct TSitePart {
    int64_t Cid = 0;
    std::string Part;                            // a normal video's part name
    std::string TitleFormat;                     // a series episode's numbering text
    std::string LongTitle;                       // and its title
    std::vector<int> Qualities{80, 64, 32, 16};  // quality codes the media exists in
    int SegmentCount = 1;
    uint32_t SegmentMs = 2000;  // playing time of each segment
    // The media of the site's oldest videos: Sorenson H.263 video with MP3
    // audio instead of H.264 with AAC (playable segments only).
    bool OldCodecs = false;
};

TSitePart NormalPart(int64_t ACid, std::string APart, int ASegmentCount = 1);
TSitePart Episode(int64_t ACid, std::string ATitleFormat, std::string ALongTitle);

struct TSiteVideo {
    std::string PagePath;  // on the main host, e.g. "/video/v1001/"
    std::string Title;
    TPageKind Kind = TPageKind::Normal;
    // Names and the title written as \uXXXX escapes (as the site's own
    // pages do) or as plain UTF-8.
    bool EscapeNonAscii = true;
    std::vector<TSitePart> Parts;
};

class TSiteCatalogue {
public:
    void Add(TSiteVideo AVideo);
    void Clear();
    std::optional<TSiteVideo> FindPage(const std::string& APath) const;
    std::optional<TSitePart> FindPart(int64_t ACid) const;
    std::vector<TSiteVideo> Videos() const;

private:
    mutable std::mutex FLock;
    std::vector<TSiteVideo> FVideos;
};

// The demo's videos: a normal video of three parts (the second of three
// segments), a series of ten episodes, and a single-part video whose part
// name differs from its title, an old one in H.263 and MP3.
std::vector<TSiteVideo> DemoCatalogue();

// Pages for the odd cases of page resolution, beside the demo's:
//   /video/v1101/  a video with an empty name, under a title
//   /video/v1102/  no title, a video with an empty name
//   /play/s1103/  an episode with empty numbering and title
//   /video/v1104/  names in plain UTF-8 with "/" escaped, no \u
//   /video/v1105/  neither a pages list nor an episode list
//   /video/v1106/  a pages list whose entries carry no cid
std::vector<TSiteVideo> EdgeCaseCatalogue();

// The address of a page on the main host ("https://www.vidsite.example/...").
std::string PageAddress(const TSiteVideo& AVideo);

}  // namespace vidsite
