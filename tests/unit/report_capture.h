// Test helper: the text a report prints for a record, and that text cut into lines.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

template <typename Record>
std::string capture_report(void (*print)(FILE*, const Record*), const Record& rec)
{
    FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    if (f == nullptr)
        return {};
    print(f, &rec);
    std::rewind(f);
    std::string text;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// Every line of a report, which must end with a newline.
inline std::vector<std::string> report_lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "report does not end with a newline";
    return out;
}
