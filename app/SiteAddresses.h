// The video site as the program knows it: host names, the home page sent as
// Referer, the domain label of the address check, the paths of the services
// it asks, and the key and secret the play-address request is signed with.
// Header only; the local stand-in of the site includes it to answer the same
// addresses.
#pragma once

namespace vidsite {

inline constexpr char kDomain[] = "vidsite.example";
inline constexpr char kDomainLabel[] = "vidsite";
inline constexpr char kMainHost[] = "www.vidsite.example";
inline constexpr char kInterfaceHost[] = "interface.vidsite.example";
inline constexpr char kApiHost[] = "api.vidsite.example";
inline constexpr char kHomePage[] = "https://www.vidsite.example/";

// The signed play-address request: the key is sent, the secret only enters
// the MD5 signature.
inline constexpr char kAppKey[] = "7c31a0f5d28e94b6";
inline constexpr char kAppSecret[] = "e2a9017c4bd35f8816c0e7a94d2b63f1";

inline constexpr char kPlayUrlPath[] = "/v2/playurl";
inline constexpr char kPgcPlayUrlPath[] = "/pgc/player/web/playurl";
inline constexpr char kCommentPath[] = "/x/v1/dm/list.so";

}  // namespace vidsite
