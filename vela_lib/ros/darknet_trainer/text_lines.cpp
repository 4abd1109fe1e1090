#include "text_lines.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace TextLines {

bool readFile(const std::string& path, std::string* text)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string trimmed(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

bool readList(const std::string& path, std::vector<std::string>* lines)
{
    std::string text;
    if (!readFile(path, &text))
        return false;
    lines->clear();
    for (const std::string& line : split(text)) {
        const std::string item = trimmed(line);
        if (!item.empty())
            lines->push_back(item);
    }
    return true;
}

} // namespace TextLines
