#include "JUnitReport.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "Text.h"

namespace {

std::string Escaped(const std::wstring& text)
{
    std::string escaped;
    for (char c : Narrow(text, CP_UTF8)) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

} // namespace

std::string JUnitReport(const std::wstring& pipe, const std::vector<CheckRecord>& records)
{
    std::map<int, std::vector<const CheckRecord*>> groups;
    std::size_t failures = 0;
    for (const CheckRecord& record : records) {
        groups[std::atoi(record.check->id)].push_back(&record);
        failures += record.result.verdict != Verdict::Pass;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"DownloaderCheck " +
                      Escaped(pipe) + "\" tests=\"" + std::to_string(records.size()) + "\" failures=\"" +
                      std::to_string(failures) + "\">\n";
    for (const auto& group : groups) {
        std::size_t failed = 0;
        for (const CheckRecord* record : group.second)
            failed += record->result.verdict != Verdict::Pass;
        xml += "  <testsuite name=\"" + std::to_string(group.first) + " " + Escaped(GroupTitle(group.first)) +
               "\" tests=\"" + std::to_string(group.second.size()) + "\" failures=\"" + std::to_string(failed) +
               "\">\n";
        for (const CheckRecord* record : group.second) {
            xml += "    <testcase classname=\"DownloaderCheck." + std::to_string(group.first) + "\" name=\"" +
                   record->check->id + " " + Escaped(record->check->title + (L" " + Cited(*record->check))) +
                   "\" time=\"" + Number(record->seconds) + "\"";
            if (record->result.verdict == Verdict::Pass) {
                xml += "/>\n";
                continue;
            }
            std::wstring detail = record->result.detail;
            if (record->result.verdict == Verdict::Fail)
                detail += L" (" + Broken(*record->check, record->result) + L")";
            xml += ">\n      <failure message=\"" + Escaped(detail) + "\"/>\n    </testcase>\n";
        }
        xml += "  </testsuite>\n";
    }
    return xml + "</testsuites>\n";
}
