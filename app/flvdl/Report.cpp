#include "Report.h"

#include <nlohmann/json.hpp>

namespace flvdl {

namespace {

const char* OutcomeText(TOutcome AOutcome) {
    switch (AOutcome) {
        case TOutcome::Done:
            return "done";
        case TOutcome::Failed:
            return "failed";
        case TOutcome::Pending:
            break;
    }
    return "not done";
}

nlohmann::ordered_json Texts(const QStringList& ATexts) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const QString& text : ATexts) list.push_back(text.toStdString());
    return list;
}

}  // namespace

bool TPartReport::Succeeded() const {
    return Video == TOutcome::Done && (!Comment.Asked || Comment.Outcome == TOutcome::Done);
}

int TRunReport::ExitStatus() const {
    if (Interrupted) return kExitInterrupted;
    if (!Unresolved.isEmpty()) return kExitUnresolved;
    for (const TPartReport& part : Parts)
        if (!part.Succeeded()) return kExitFailed;
    return kExitDone;
}

std::string TRunReport::Json() const {
    nlohmann::ordered_json parts = nlohmann::ordered_json::array();
    for (const TPartReport& part : Parts) {
        nlohmann::ordered_json entry = {
            {"number", part.Number.toStdString()},
            {"name", part.Name.toStdString()},
            {"cid", part.Cid.toStdString()},
            {"quality", part.Quality.toStdString()},
            {"segments", part.Segments},
            {"status", OutcomeText(part.Video)},
            {"joined", part.Joined},
            {"files", Texts(part.Files)},
            {"errors", Texts(part.Errors)},
        };
        if (part.JoinEnded) {
            entry["join_exit_status"] =
                part.JoinExitStatus >= 0 ? nlohmann::ordered_json(part.JoinExitStatus) : nlohmann::ordered_json();
        }
        if (part.ConvertEnded) {
            entry["mp4"] = {{"converted", part.Converted}, {"note", part.ConvertNote.toStdString()}};
        }
        if (part.Comment.Asked) {
            entry["comment"] = {{"status", OutcomeText(part.Comment.Outcome)},
                                {"file", part.Comment.File.toStdString()},
                                {"error", part.Comment.Error.toStdString()}};
            if (!part.Comment.Subtitles.isEmpty()) entry["comment"]["subtitles"] = part.Comment.Subtitles.toStdString();
        }
        parts.push_back(std::move(entry));
    }
    const nlohmann::ordered_json document = {
        {"page", Page.toStdString()},       {"title", Title.toStdString()},           {"kind", Kind.toStdString()},
        {"quality", Quality.toStdString()}, {"folder", Folder.toStdString()},         {"interrupted", Interrupted},
        {"exit_status", ExitStatus()},      {"unresolved", Unresolved.toStdString()}, {"parts", std::move(parts)},
    };
    // Texts that are not valid UTF-8 (a name cut mid-character) are replaced,
    // never a reason to fail the summary.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace flvdl
