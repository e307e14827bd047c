#include "tests/VeltoProcess.h"

#include <gtest/gtest.h>

#include <sstream>

namespace velto::test {

Clock::time_point Deadline(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

void VeltoProcess::CutLines() {
    size_t newline;
    while ((newline = m_out.find('\n', m_scanned)) != std::string::npos) {
        m_lines.push_back(m_out.substr(m_scanned, newline - m_scanned));
        m_scanned = newline + 1;
    }
}

std::optional<std::smatch> VeltoProcess::WaitForLine(const std::string& pattern, double seconds) {
    const std::regex expression(pattern);
    const Clock::time_point deadline = Deadline(seconds);
    size_t checked = 0;
    while (true) {
        for (; checked < m_lines.size(); ++checked) {
            std::smatch match;
            if (std::regex_search(m_lines[checked], match, expression)) {
                return match;
            }
        }
        if (MillisecondsLeft(deadline) == 0 || !Read(MillisecondsLeft(deadline))) {
            if (checked == m_lines.size()) {
                return std::nullopt;
            }
        }
    }
}

std::vector<std::string> VeltoProcess::OutLines() const {
    return m_lines;
}

void EndWithCtrlC(VeltoProcess& process) {
    if (!VeltoProcess::CanInterrupt()) {
        process.Kill();
        return;
    }
    process.Interrupt();
    EXPECT_EQ(process.Wait(), 0) << process.Err();
}

Result RunVelto(const std::vector<std::string>& arguments, double seconds) {
    VeltoProcess process(arguments);
    Result result;
    result.code = process.Wait(seconds);
    result.out = process.Out();
    result.err = process.Err();
    return result;
}

std::vector<std::string> Matching(const std::string& text, const std::string& pattern) {
    const std::regex expression(pattern);
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (std::regex_search(line, expression)) {
            lines.push_back(line);
        }
    }
    return lines;
}

}  // namespace velto::test
