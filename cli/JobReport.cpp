// SPDX-License-Identifier: MIT
// What pixmill-cli says about each path and the whole batch: the lines for people and the report
// for scripts (JSON Lines).
#include "cli/JobReport.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/JobState.h"

namespace {

const int kExitAllResized = 0;
const int kExitSomeNotResized = 1;
const int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

bool isContinuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence at text[at] (Unicode's table of well-formed byte
// sequences: no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8SequenceAt(const std::string& text, size_t at) {
    const unsigned char lead = text[at];
    auto next = [&](size_t k) -> unsigned char { return at + k < text.size() ? text[at + k] : 0; };
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return isContinuation(next(1)) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return isContinuation(next(1), low, high) && isContinuation(next(2)) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return isContinuation(next(1), low, high) && isContinuation(next(2)) && isContinuation(next(3)) ? 4
                                                                                                        : 0;
    }
    return 0;
}

std::string hexEscape(unsigned int code) {
    char buffer[8];
    snprintf(buffer, sizeof buffer, "\\u%04x", code);
    return buffer;
}

// The JSON form of one ASCII byte.
std::string asciiEscaped(char c) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        default:
            return static_cast<unsigned char>(c) < 0x20 ? hexEscape(static_cast<unsigned char>(c))
                                                        : std::string(1, c);
    }
}

std::string number(double value) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

std::string field(const char* name, const std::string& jsonValue) {
    return std::string("\"") + name + "\":" + jsonValue;
}

std::string countField(const char* name, size_t value) {
    return "," + field(name, std::to_string(value));
}

// "message: cause", or the message alone.
std::string withReason(const std::string& message, const std::string& reason) {
    if (reason.empty()) return message;
    return message.empty() ? reason : message + ": " + reason;
}

}  // namespace

namespace {

JobRecord recordOfSnapshot(JobSnapshot job) {
    const JobPhase phase = job.phase;
    JobRecord record;
    static_cast<JobResult&>(record) = std::move(job);
    switch (phase) {
        case JobPhase::Failed:
            record.status = JobStatus::Failed;
            break;
        case JobPhase::Skipped:
            record.status = JobStatus::Skipped;
            break;
        case JobPhase::Damaged:
            record.status = JobStatus::Damaged;
            break;
        default:
            record.status = JobStatus::Resized;
    }
    return record;
}

}  // namespace

JobRecord recordOfJob(const ImageResizeTask& task) {
    return recordOfSnapshot(snapshotOf(task));
}

std::vector<JobRecord> recordsOfJob(const ImageResizeTask& task) {
    std::vector<JobRecord> records;
    for (JobSnapshot& job : outputSnapshotsOf(task)) records.push_back(recordOfSnapshot(std::move(job)));
    return records;
}

JobRecord recordOfRefusal(const InputItem& input) {
    JobRecord record;
    record.source = input.path;
    record.status = JobStatus::Refused;
    record.reason = input.refusal;
    return record;
}

JobRecord recordNotStarted(const std::string& source, const std::string& output) {
    JobRecord record;
    record.source = source;
    record.output = output;
    record.status = JobStatus::NotStarted;
    record.reason = "interrupted";
    return record;
}

void BatchCounts::count(JobStatus status) {
    switch (status) {
        case JobStatus::Resized:
            ++resized;
            break;
        case JobStatus::Damaged:
            ++damaged;
            break;
        case JobStatus::Failed:
            ++failed;
            break;
        case JobStatus::Refused:
            ++refused;
            break;
        case JobStatus::Skipped:
            ++skipped;
            break;
        case JobStatus::NotStarted:
            ++notStarted;
            break;
        case JobStatus::Planned:
            ++planned;
            break;
    }
}

const char* statusWord(JobStatus status) {
    switch (status) {
        case JobStatus::Resized:
            return "resized";
        case JobStatus::Damaged:
            return "damaged";
        case JobStatus::Failed:
            return "failed";
        case JobStatus::Refused:
            return "refused";
        case JobStatus::Skipped:
            return "skipped";
        case JobStatus::NotStarted:
            return "not-started";
        default:
            return "planned";
    }
}

std::string recordText(const JobRecord& record) {
    const std::string word = statusWord(record.status);
    const std::string note = record.note.empty() ? "" : " (" + record.note + ")";
    switch (record.status) {
        case JobStatus::Resized:
            return word + " " + record.source + " -> " + record.output + note;
        case JobStatus::Damaged:
            return word + " " + record.source + " -> " + record.output + ": " + record.reason + note;
        case JobStatus::Planned:
            return record.source + " -> " + record.output;
        case JobStatus::NotStarted:
            return "not started " + record.source;
        default:
            return word + " " + record.source + ": " + withReason(record.message, record.reason);
    }
}

std::string summaryText(const BatchCounts& counts) {
    if (counts.dryRun) {
        return std::to_string(counts.planned) + " to resize, " + std::to_string(counts.refused) + " refused";
    }
    std::string text = std::to_string(counts.resized) + " resized";
    if (counts.damaged > 0) text += ", " + std::to_string(counts.damaged) + " damaged";
    if (counts.skipped > 0) text += ", " + std::to_string(counts.skipped) + " skipped";
    text += ", " + std::to_string(counts.failed) + " failed, " + std::to_string(counts.refused) + " refused";
    if (counts.notStarted > 0) {
        text += ", " + std::to_string(counts.notStarted) +
                (counts.interrupted ? " not started (interrupted)" : " not started");
    }
    return text;
}

int exitStatusOf(const BatchCounts& counts) {
    if (counts.interrupted && counts.notStarted > 0) return kExitInterrupted;
    if (counts.damaged > 0 || counts.failed > 0 || counts.refused > 0 || counts.notStarted > 0)
        return kExitSomeNotResized;
    return kExitAllResized;
}

namespace {

// Printable ASCII other than the quote and the backslash stands for itself in JSON.
bool isPlainAscii(char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

// Appends the JSON string of bytes to out.
void appendJsonString(std::string& out, const std::string& bytes) {
    out += '"';
    for (size_t i = 0; i < bytes.size();) {
        // A run of plain bytes (most paths are nothing else) is copied at once.
        size_t plain = i;
        while (plain < bytes.size() && isPlainAscii(bytes[plain])) ++plain;
        if (plain > i) {
            out.append(bytes, i, plain - i);
            i = plain;
            continue;
        }
        const size_t length = utf8SequenceAt(bytes, i);
        if (length == 0) {
            out += hexEscape(0xDC00 + static_cast<unsigned char>(bytes[i]));
            ++i;
        } else if (length == 1) {
            out += asciiEscaped(bytes[i++]);
        } else {
            out.append(bytes, i, length);
            i += length;
        }
    }
    out += '"';
}

}  // namespace

std::string jsonString(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    appendJsonString(out, bytes);
    return out;
}

namespace {

// Only a path that holds (or, planned, will hold) an output names it; a job that wrote nothing
// has none, whatever name it had meant to write.
bool namesAnOutput(const JobRecord& record) {
    const JobStatus status = record.status;
    return !record.output.empty() && status != JobStatus::Failed && status != JobStatus::Refused &&
           status != JobStatus::NotStarted;
}

}  // namespace

// Built by appending to one string: a report of a million lines is written on the main thread.
std::string reportObject(const JobRecord& record) {
    std::string out;
    out.reserve(192 + record.source.size() + record.output.size() + record.message.size() +
                record.reason.size() + record.note.size());
    const auto add = [&out](const char* name, const std::string& jsonValue) {
        out += ",\"";
        out += name;
        out += "\":";
        out += jsonValue;
    };
    const auto addText = [&out](const char* name, const std::string& text) {
        out += ",\"";
        out += name;
        out += "\":";
        appendJsonString(out, text);
    };
    out += "{\"source\":";
    appendJsonString(out, record.source);
    if (namesAnOutput(record))
        addText("output", record.output);
    else
        add("output", "null");
    out += ",\"status\":\"";
    out += statusWord(record.status);  // plain words
    out += '"';
    addText("message", record.message);
    addText("reason", record.reason);
    addText("note", record.note);
    add("width", std::to_string(record.width));
    add("height", std::to_string(record.height));
    add("bytes", std::to_string(record.bytes));
    if (record.quality > 0) add("quality", std::to_string(record.quality));
    add("ms", number(record.ms));
    out += '}';
    return out;
}

std::string summaryObject(const BatchCounts& counts) {
    return "{" + field("status", "\"summary\"") + countField("resized", counts.resized) +
           countField("damaged", counts.damaged) + countField("skipped", counts.skipped) +
           countField("failed", counts.failed) + countField("refused", counts.refused) +
           countField("not_started", counts.notStarted) + countField("planned", counts.planned) + "," +
           field("interrupted", counts.interrupted ? "true" : "false") + "}";
}

ReportFile::~ReportFile() {
    flush();
    if (ownsFd) ::close(fd);
}

bool ReportFile::open(const std::string& path, std::string& error) {
    if (path == "-") {
        fd = STDOUT_FILENO;
        return true;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot write the report " + path + ": " + strerror(errno);
        return false;
    }
    ownsFd = true;
    return true;
}

void ReportFile::add(const std::string& object) {
    if (fd < 0) return;
    waiting += object;
    waiting += '\n';
    if (waiting.size() >= kFlushBytes) flush();
}

void ReportFile::flush() {
    size_t written = 0;
    while (fd >= 0 && written < waiting.size()) {
        const ssize_t n = ::write(fd, waiting.data() + written, waiting.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeFailed = true;
            break;
        }
        written += static_cast<size_t>(n);
    }
    waiting.clear();
}
