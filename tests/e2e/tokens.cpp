// The words of a driver script's line.
#include "drive.h"

#include <cctype>

namespace {

// One quoted piece from the opening quote at line[i]; leaves i after an optional "*N".
std::string ParseQuoted(const std::string& line, size_t& i)
{
    std::string text;
    ++i;
    for (;;) {
        if (i >= line.size())
            throw std::invalid_argument("unterminated string");
        char d = line[i++];
        if (d == '"')
            break;
        if (d != '\\') {
            text += d;
            continue;
        }
        if (i >= line.size())
            throw std::invalid_argument("unterminated string");
        char e = line[i++];
        switch (e) {
        case 'r': text += '\r'; break;
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        case '0': text += '\0'; break;
        case '\\': text += '\\'; break;
        case '"': text += '"'; break;
        case 'x':
            if (i + 2 > line.size() || !std::isxdigit(static_cast<unsigned char>(line[i])) ||
                !std::isxdigit(static_cast<unsigned char>(line[i + 1])))
                throw std::invalid_argument("\\x needs two hex digits");
            text += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
            i += 2;
            break;
        default:
            throw std::invalid_argument(std::string("unknown escape \\") + e);
        }
    }
    // "ab"*3 stands for "ababab".
    if (i < line.size() && line[i] == '*') {
        size_t end = i + 1;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
            ++end;
        if (end == i + 1)
            throw std::invalid_argument("'*' after a string needs a count");
        int count = std::stoi(line.substr(i + 1, end - i - 1));
        std::string unit = text;
        text.clear();
        for (int k = 0; k < count; ++k)
            text += unit;
        i = end;
    }
    return text;
}

}  // namespace

std::vector<Token> Tokenize(const std::string& line)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        Token token;
        if (c != '"') {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                token.text += line[i++];
            tokens.push_back(token);
            continue;
        }
        token.quoted = true;
        token.text = ParseQuoted(line, i);
        // "ab"+"cd" joins the two.
        while (i + 1 < line.size() && line[i] == '+' && line[i + 1] == '"') {
            ++i;
            token.text += ParseQuoted(line, i);
        }
        tokens.push_back(token);
    }
    return tokens;
}

