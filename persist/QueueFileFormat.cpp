#include "persist/QueueFileFormat.h"

#include "queue/LineStatus.h"

namespace ferrox {

TQueueText QueueText(const std::vector<TQueueLine>& lines) {
    TQueueText out;
    TIniWriter ini;
    ini.Reserve(lines.size() * 64);
    ini.Section(QueueSection);
    for (const TQueueLine& line : lines) {
        if (!IsStorableValue(line.From) || !IsStorableValue(line.To)) {
            out.Unstorable.push_back(line.From);
            continue;
        }
        const std::string n = std::to_string(++out.Written);
        ini.WriteString("FROM-" + n, (IsDirStatus(line.Status) ? "D:" : "F:") + line.From);
        ini.WriteString("TO-" + n, line.To);
        ini.WriteBool("DONE-" + n, line.Done);
        ini.WriteBool("MOVE-" + n, line.Move);
    }
    out.Text = ini.Text();
    return out;
}

void ForEachQueueLine(const TIniReader& ini, const std::function<void(TQueueLine&&)>& line) {
    for (uint64_t n = 1;; ++n) {
        const std::string number = std::to_string(n);
        std::string fromValue = ini.ReadString(QueueSection, "FROM-" + number, "");
        if (fromValue.empty())
            break;
        if (fromValue.size() <= 2 || fromValue[1] != ':')
            continue;
        TQueueLine read;
        read.To = ini.ReadString(QueueSection, "TO-" + number, "");
        read.Done = ini.ReadBool(QueueSection, "DONE-" + number, false);
        read.Move = ini.ReadBool(QueueSection, "MOVE-" + number, false);
        if (fromValue[0] == 'D') {
            read.Status = read.Done ? lsDirDone : lsDirWaiting;
            read.From = fromValue.substr(2);
        } else if (fromValue[0] == 'F') {
            read.Status = read.Done ? lsFileDone : lsFileWaiting;
            read.From = fromValue.substr(2);
        } else {
            read.Status = lsFileWaiting;
            read.From = std::move(fromValue);
        }
        line(std::move(read));
    }
}

} // namespace ferrox
