// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/text_content.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

namespace engine::signatures {
namespace {

using C = FileTypeCode;
using std::string_view;

// Lines of the head looked at to tell the kind.
constexpr size_t kMaxLinesJudged = 200;
// A CSV needs this many whole lines of the same separator count.
constexpr size_t kMinCsvLines = 3;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

string_view TrimLeft(string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}

string_view TrimRight(string_view s) {
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(string_view s, string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool Contains(string_view s, string_view part) {
  return s.find(part) != string_view::npos;
}

// The kind of a script by its interpreter line "#!/bin/sh", "#!/usr/bin/env python3".
C ScriptKind(string_view text) {
  string_view line = text.substr(2, text.find('\n') == string_view::npos ? string_view::npos : text.find('\n') - 2);
  auto nextWord = [&line]() {
    line = TrimLeft(line);
    size_t end = 0;
    while (end < line.size() && !IsSpace(line[end])) ++end;
    const string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
  };
  string_view program = nextWord();
  program.remove_prefix(program.rfind('/') == string_view::npos ? 0 : program.rfind('/') + 1);
  if (program == "env") {
    // env's options and variable settings come before the program.
    do {
      program = nextWord();
    } while (!program.empty() && (program.front() == '-' || Contains(program, "=")));
    program.remove_prefix(program.rfind('/') == string_view::npos ? 0 : program.rfind('/') + 1);
  }
  for (string_view shell : {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "busybox"}) {
    if (program == shell) return C::kSh;
  }
  if (program.starts_with("python")) return C::kPy;
  if (program.starts_with("perl")) return C::kPl;
  if (program == "node" || program == "nodejs") return C::kJs;
  return C::kTxt;
}

// Markup: a web page, or XML (a declaration, a comment or an element, and a
// closing tag somewhere in the head).
C MarkupKind(string_view body) {
  if (StartsWithNoCase(body, "<!doctype html") || StartsWithNoCase(body, "<html")) return C::kHtml;
  const bool opens = body.starts_with("<?xml") || body.starts_with("<!--") || body.starts_with("<!DOCTYPE") ||
                     (body.size() > 1 && IsLetter(body[1]));
  if (opens && (Contains(body, "</") || Contains(body, "/>"))) {
    return StartsWithNoCase(body, "<!doctype html") ? C::kHtml : C::kXmlText;
  }
  return C::kTxt;
}

// JSON: an object whose first member is a string and a colon (or an empty
// one), or an array of values; an array's head holds only JSON tokens.
bool IsJson(string_view body) {
  if (body.empty() || (body[0] != '{' && body[0] != '[')) return false;
  const string_view after = TrimLeft(body.substr(1));
  if (after.empty()) return false;
  if (body[0] == '{') {
    if (after[0] == '}') return true;
    if (after[0] != '"') return false;
    size_t i = 1;
    while (i < after.size() && after[i] != '"') i += after[i] == '\\' ? 2 : 1;
    return i < after.size() && TrimLeft(after.substr(i + 1)).starts_with(":");
  }
  const char v = after[0];
  if (!(v == '{' || v == '[' || v == '"' || v == '-' || v == ']' || IsDigit(v) || after.starts_with("true") ||
        after.starts_with("false") || after.starts_with("null"))) {
    return false;
  }
  bool inString = false;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (!(IsSpace(c) || IsDigit(c) || Contains("{}[],:.+-eEtrufalsn", string_view(&c, 1)))) {
      return false;
    }
  }
  return true;
}

// Separators of a CSV line outside double quotes.
size_t SeparatorsIn(string_view line, char separator) {
  size_t count = 0;
  bool quoted = false;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    else if (c == separator && !quoted)
      ++count;
  }
  return count;
}

bool IsCsv(const std::array<string_view, kMaxLinesJudged>& lines, size_t count) {
  if (count < kMinCsvLines) return false;
  for (const char separator : {',', ';', '\t'}) {
    const size_t first = SeparatorsIn(lines[0], separator);
    if (first == 0 || (separator == ';' && first < 2)) continue;
    bool same = true;
    for (size_t i = 0; i < count && same; ++i) {
      const string_view line = TrimRight(lines[i]);
      same = SeparatorsIn(line, separator) == first && !line.ends_with(';') && !line.ends_with('{') &&
             !Contains(line, "{") && !Contains(line, "}");
    }
    if (same) return true;
  }
  return false;
}

}  // namespace

bool TextWalk::Feed(const uint8_t* bytes, size_t count) {
  if (m_stopped) return false;
  // The walk's state in locals: the bytes may alias any member.
  uint64_t end = m_end;
  uint64_t lines = m_lines;
  uint32_t need = m_need;
  uint32_t have = m_have;
  uint32_t point = m_point;
  bool stopped = false;
  for (size_t i = 0; i < count; ++i) {
    // Eight plain ASCII text bytes at a time.
    while (need == 0 && i + 8 <= count) {
      const uint64_t x = text_swar::Load(bytes + i);
      if (((x & text_swar::k80) | text_swar::Controls(x)) != 0) break;
      // The line feeds among them: one bit each, summed into the top byte.
      lines += ((text_swar::Equals(x, '\n') >> 7) * text_swar::k01) >> 56;
      end += 8;
      i += 8;
    }
    if (i >= count) break;
    const uint8_t c = bytes[i];
    if (need == 0) {
      if (c >= 0x20 && c < 0x7F) {
        ++end;
        continue;
      }
      if (c == '\n' || c == '\t' || c == '\r' || c == 0x0C) {
        lines += c == '\n' ? 1 : 0;
        ++end;
        continue;
      }
      if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        point = c & 0x1Fu;
      } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        point = c & 0x0Fu;
      } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        point = c & 0x07u;
      } else {
        stopped = true;
        break;
      }
      have = 0;
      continue;
    }
    if ((c & 0xC0) != 0x80) {
      stopped = true;
      break;
    }
    point = (point << 6) | (c & 0x3Fu);
    if (++have < need) continue;
    constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    // Overlong forms, surrogates, code points past Unicode and the C1 controls are no text.
    if (point < kLeast[need] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) || point < 0xA0) {
      stopped = true;
      break;
    }
    end += need + 1;
    need = 0;
  }
  m_end = end;
  m_lines = lines;
  m_need = need;
  m_have = have;
  m_point = point;
  m_stopped = stopped;
  return !stopped;
}

bool IsTextStartByte(uint8_t byte) {
  return (byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n' || byte == '\r' ||
         (byte >= 0xC2 && byte <= 0xF4);
}

bool IsPlainTextCode(FileTypeCode code) {
  return code >= C::kTxt && code <= C::kIni;
}

FileTypeCode TextKindOf(const uint8_t* head, size_t length) {
  if (head == nullptr) return C::kTxt;
  string_view text(reinterpret_cast<const char*>(head), length);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.starts_with("#!")) return ScriptKind(text);
  const string_view body = TrimLeft(text);
  if (body.starts_with("<")) return MarkupKind(body);
  if (IsJson(body)) return C::kJson;

  // Whole lines (the last one only when a line end closes it, or when it is the only one).
  std::array<string_view, kMaxLinesJudged> lines{};
  size_t count = 0;
  for (size_t at = 0; at < text.size() && count < lines.size();) {
    const size_t end = text.find('\n', at);
    if (end == string_view::npos) {
      if (count == 0) lines[count++] = text.substr(at);
      break;
    }
    lines[count++] = text.substr(at, end - at);
    at = end + 1;
  }
  bool preprocessor = false, cpp = false, java = false, js = false, section = false, content = false;
  size_t python = 0, braces = 0, significant = 0, assignments = 0;
  for (size_t i = 0; i < count; ++i) {
    const string_view line = TrimRight(TrimLeft(lines[i]));
    if (line.empty()) continue;
    ++significant;
    // Every keyword looked for at a line's start begins with a small letter, '#' or a quote.
    const char first = line.front();
    const bool keyword = (first >= 'a' && first <= 'z') || first == '\'';
    if (first == '#') {
      for (string_view directive : {"#include", "#define", "#ifndef", "#ifdef", "#pragma", "#endif"}) {
        preprocessor = preprocessor || line.starts_with(directive);
      }
    }
    if (keyword) {
      if (line.starts_with("import ") || (line.starts_with("from ") && Contains(line, " import "))) {
        python += line.ends_with(';') ? 0 : 2;
      }
      if ((line.starts_with("def ") || line.starts_with("class ") || line.starts_with("async def ")) &&
          line.ends_with(':')) {
        python += 2;
      }
      if (line.starts_with("if __name__")) python += 3;
      if (line.ends_with(':')) {
        for (string_view block : {"if ", "elif ", "else:", "for ", "while ", "try:", "except", "with ", "finally:"}) {
          if (line.starts_with(block)) ++python;
        }
      }
    }
    if (line.ends_with(';') || line.ends_with('{') || line == "}" || line == "};") ++braces;
    cpp = cpp || Contains(line, "std::") ||
          (keyword && (line.starts_with("namespace ") || line.starts_with("template") || line == "public:" ||
                       line == "private:" || line == "protected:"));
    java = java ||
           (keyword && ((line.starts_with("package ") && line.ends_with(';')) || line.starts_with("import java"))) ||
           Contains(line, "public static void main(String");
    js = js || Contains(line, "=> {") || Contains(line, "require(") ||
         (keyword && (line.starts_with("function ") || line.starts_with("module.exports") ||
                      line.starts_with("export ") || line.starts_with("const ") || line.starts_with("let ") ||
                      line.starts_with("var ") || line.starts_with("'use strict'")));
    // An INI file's first line that is no comment names a section.
    if (!content && line.front() != '#' && line.front() != ';') {
      content = true;
      section = line.front() == '[' && line.back() == ']';
    }
    const size_t equals = line.find('=');
    if (equals != string_view::npos && equals > 0 && line.front() != '#' && line.front() != ';') {
      const string_view key = TrimRight(line.substr(0, equals));
      assignments += std::all_of(key.begin(), key.end(), [](char c) {
        return IsLetter(c) || IsDigit(c) || c == '_' || c == '-' || c == '.' || c == ' ';
      });
    }
  }
  if (preprocessor) return cpp ? C::kCpp : C::kC;
  if (IsCsv(lines, count)) return C::kCsv;
  if (python >= 2 && python > braces) return C::kPy;
  if (braces >= 3 && braces * 4 >= significant) {
    if (java) return C::kJava;
    if (cpp) return C::kCpp;
    if (js) return C::kJs;
    return C::kC;
  }
  if (section && assignments >= 1) return C::kIni;
  return C::kTxt;
}

}  // namespace engine::signatures
