// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

// Writes everything through to the stream the report goes to, and keeps a copy of the latest
// run's part for the result box, so that a user without a console still gets the report.
// The destination's failures stay with the destination: when nobody reads standard output any
// more, the copy still gets every line.
class ReportCopy : public std::streambuf {
public:
    explicit ReportCopy(std::ostream& destination) : destination(destination) {}

    // Begins the copy of a new run.
    void clear() { kept.clear(); }
    [[nodiscard]] const std::string& text() const { return kept; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    std::ostream& destination;
    std::string kept;
};
