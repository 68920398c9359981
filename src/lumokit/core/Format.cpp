#include <lumokit/core/Format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace lumo {

namespace {

struct Spec {
  bool leftAlign = false;
  int width = -1;
  int precision = -1;
  char type = 0;
};

std::string IntegerText(std::uint64_t magnitude, bool negative, int base, bool upper, int minDigits) {
  char digits[32];
  auto res = std::to_chars(digits, digits + sizeof digits, magnitude, base);
  std::string body(digits, res.ptr);
  if (upper)
    for (char& c : body) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (minDigits > 0 && static_cast<int>(body.size()) < minDigits)
    body.insert(0, static_cast<std::size_t>(minDigits) - body.size(), '0');
  return negative ? "-" + body : body;
}

std::string ShortestDouble(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string FloatText(double v, char type, int precision) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[512];
  switch (type) {
    case 'e':
      // Precision counts significant digits (default 15).
      std::snprintf(buf, sizeof buf, "%.*E", (precision < 0 ? 15 : std::clamp(precision, 1, 18)) - 1, v);
      return buf;
    case 'f':
      std::snprintf(buf, sizeof buf, "%.*f", precision < 0 ? 2 : std::min(precision, 18), v);
      return buf;
    case 'n': {
      std::snprintf(buf, sizeof buf, "%.*f", precision < 0 ? 2 : std::min(precision, 18), v);
      // Thousands separators on the integer part.
      const std::string s = buf;
      const std::size_t start = (s[0] == '-') ? 1 : 0;
      std::size_t dot = s.find('.');
      if (dot == std::string::npos) dot = s.size();
      std::string out = s.substr(0, start);
      for (std::size_t i = start; i < dot; ++i) {
        if (i > start && (dot - i) % 3 == 0) out.push_back(',');
        out.push_back(s[i]);
      }
      out.append(s, dot, std::string::npos);
      return out;
    }
    case 'm':
      std::snprintf(buf, sizeof buf, "%.*f", precision < 0 ? 2 : std::min(precision, 18), v);
      return buf;
    default:  // 'g'
      if (precision < 0) return ShortestDouble(v);
      std::snprintf(buf, sizeof buf, "%.*G", std::max(1, std::min(precision, 18)), v);
      return buf;
  }
}

// Renders one argument for one specifier; returns false when the argument
// cannot be shown that way (the caller then copies the specifier as text).
bool Render(const FormatArg& arg, const Spec& spec, std::string& out) {
  const auto& v = arg.Get();
  switch (spec.type) {
    case 'd':
    case 'u':
    case 'x': {
      const bool hex = spec.type == 'x';
      if (auto p = std::get_if<std::int64_t>(&v)) {
        std::int64_t i = *p;
        if (hex || spec.type == 'u') {
          out = IntegerText(static_cast<std::uint64_t>(i), false, hex ? 16 : 10, true, spec.precision);
          // Hex of a negative 32-bit value shows its two's complement width.
          if (hex && i < 0 && i >= INT32_MIN)
            out = IntegerText(static_cast<std::uint32_t>(i), false, 16, true, spec.precision);
          if (spec.type == 'u' && i < 0 && i >= INT32_MIN)
            out = IntegerText(static_cast<std::uint32_t>(i), false, 10, false, spec.precision);
        } else {
          std::uint64_t mag = i < 0 ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i);
          out = IntegerText(mag, i < 0, 10, false, spec.precision);
        }
        return true;
      }
      if (auto p = std::get_if<std::uint64_t>(&v)) {
        out = IntegerText(*p, false, hex ? 16 : 10, true, spec.precision);
        return true;
      }
      if (auto p = std::get_if<std::string_view>(&v)) {
        out.assign(p->data(), p->size());
        return true;
      }
      return false;
    }
    case 'e':
    case 'f':
    case 'g':
    case 'n':
    case 'm':
      if (auto p = std::get_if<double>(&v)) {
        out = FloatText(*p, spec.type, spec.precision);
        return true;
      }
      if (auto p = std::get_if<std::int64_t>(&v)) {
        out = FloatText(static_cast<double>(*p), spec.type, spec.precision);
        return true;
      }
      if (auto p = std::get_if<std::uint64_t>(&v)) {
        out = FloatText(static_cast<double>(*p), spec.type, spec.precision);
        return true;
      }
      if (auto p = std::get_if<std::string_view>(&v)) {
        out.assign(p->data(), p->size());
        return true;
      }
      return false;
    case 's':
      if (auto p = std::get_if<std::string_view>(&v)) {
        out.assign(p->data(), p->size());
      } else if (auto p = std::get_if<std::int64_t>(&v)) {
        out = std::to_string(*p);
      } else if (auto p = std::get_if<std::uint64_t>(&v)) {
        out = std::to_string(*p);
      } else if (auto p = std::get_if<double>(&v)) {
        out = ShortestDouble(*p);
      } else {
        return false;
      }
      if (spec.precision >= 0 && out.size() > static_cast<std::size_t>(spec.precision))
        out.resize(static_cast<std::size_t>(spec.precision));
      return true;
    case 'p':
      if (auto p = std::get_if<const void*>(&v)) {
        out = IntegerText(reinterpret_cast<std::uintptr_t>(*p), false, 16, true, 16);
        return true;
      }
      return false;
    default:
      return false;
  }
}

bool IntArg(const std::vector<const FormatArg*>& args, std::size_t& next, int& value) {
  if (next >= args.size()) return false;
  const auto& v = args[next]->Get();
  if (auto p = std::get_if<std::int64_t>(&v)) {
    value = static_cast<int>(std::clamp<std::int64_t>(*p, -1, 1 << 20));
  } else if (auto p = std::get_if<std::uint64_t>(&v)) {
    value = static_cast<int>(std::min<std::uint64_t>(*p, 1u << 20));
  } else {
    return false;
  }
  ++next;
  return true;
}

}  // namespace

std::string Format(std::string_view fmt, std::initializer_list<FormatArg> argList) noexcept {
  try {
    std::vector<const FormatArg*> args;
    args.reserve(argList.size());
    for (const auto& a : argList) args.push_back(&a);

    std::string out;
    out.reserve(fmt.size() + 32);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < fmt.size()) {
      char c = fmt[i];
      if (c != '%') {
        out.push_back(c);
        ++i;
        continue;
      }
      const std::size_t start = i++;
      if (i < fmt.size() && fmt[i] == '%') {
        out.push_back('%');
        ++i;
        continue;
      }
      Spec spec;
      bool ok = true;
      // Optional "index:" (digits or '*' followed by a colon).
      {
        std::size_t j = i;
        int num = 0;
        bool any = false;
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9' && num < 100000) {
          num = num * 10 + (fmt[j] - '0');
          ++j;
          any = true;
        }
        if (any && j < fmt.size() && fmt[j] == ':') {
          next = static_cast<std::size_t>(num);
          i = j + 1;
        } else if (j == i && j + 1 < fmt.size() && fmt[j] == '*' && fmt[j + 1] == ':') {
          int idx = 0;
          if (IntArg(args, next, idx)) {
            next = static_cast<std::size_t>(std::max(idx, 0));
            i = j + 2;
          } else {
            ok = false;
          }
        }
      }
      if (ok && i < fmt.size() && fmt[i] == '-') {
        spec.leftAlign = true;
        ++i;
      }
      if (ok && i < fmt.size() && fmt[i] == '*') {
        ok = IntArg(args, next, spec.width);
        ++i;
      } else {
        int w = -1;
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
          w = (w < 0 ? 0 : w) * 10 + (fmt[i] - '0');
          if (w > (1 << 20)) w = 1 << 20;
          ++i;
        }
        spec.width = w;
      }
      if (ok && i < fmt.size() && fmt[i] == '.') {
        ++i;
        if (i < fmt.size() && fmt[i] == '*') {
          ok = IntArg(args, next, spec.precision);
          ++i;
        } else {
          int p = 0;
          while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
            p = p * 10 + (fmt[i] - '0');
            if (p > (1 << 20)) p = 1 << 20;
            ++i;
          }
          spec.precision = p;
        }
      }
      if (ok && i < fmt.size()) {
        spec.type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i])));
        ++i;
      } else {
        ok = false;
      }
      std::string text;
      if (ok && next < args.size() && Render(*args[next], spec, text)) {
        ++next;
        if (spec.width > 0 && text.size() < static_cast<std::size_t>(spec.width)) {
          std::string pad(static_cast<std::size_t>(spec.width) - text.size(), ' ');
          text = spec.leftAlign ? text + pad : pad + text;
        }
        out += text;
      } else {
        // Unusable specifier or missing argument: copy the specifier as text.
        out.append(fmt.substr(start, i - start));
      }
    }
    return out;
  } catch (...) {
    // Only allocation can fail here; give back the template itself.
    try {
      return std::string(fmt);
    } catch (...) {
      return std::string();
    }
  }
}

}  // namespace lumo
