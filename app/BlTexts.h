// Every text the window shows: captions, hints, status texts and message
// box texts, written once here so that the window and its tests share them.
#pragma once

namespace bl {

inline constexpr const char* kProductTitle = "FLV视频下载器";
inline constexpr const char* kVersion = "v2.6";
inline constexpr const char* kUpdateAddress = "https://flvdownloader.example/update";

// Start-up and the joining tool.
inline constexpr const char* kJoinerReleaseFailed = "Flv合并程序释放失败，下载的分段视频将无法自动合并！";
inline constexpr const char* kJoinerMissing = "软件在启动时不能正常释放Flv合并程序，分段视频无法自动合并！";

// The folder chooser.
inline constexpr const char* kChooseFolderTitle = "选择文件夹";

// Page address resolution.
inline constexpr const char* kAddressEmpty = "视频地址不能为空！";
inline constexpr const char* kAddressWrong = "播放地址可能不正确！";
inline constexpr const char* kFetchFailed = "暂时无法获取数据！";
inline constexpr const char* kNoVideoInfo = "未能获取视频信息！";
inline constexpr const char* kNoEntries = "取不到任何信息，可能网站已经改版，您可以稍候再试试！";

// Status line.
inline constexpr const char* kRemainingBefore = "剩余：";
inline constexpr const char* kRemainingAfter = " 个任务";
inline constexpr const char* kDownloadsFinished = "下载结束！";

// Close.
inline constexpr const char* kCloseCaption = "感谢使用";
inline constexpr const char* kCloseQuestion = "正在下载视频，真的要关闭吗？";
inline constexpr const char* kCloseNote = "本工具不保存任何下载记录！！！";

}  // namespace bl
