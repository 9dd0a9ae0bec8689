#include "drivers/olympus/format/vsi/vsi.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/utf8.hpp"

namespace kolva::format::vsi {
namespace {

constexpr std::uint32_t kSecondTag = 0x08000000;
constexpr std::uint32_t kNestedVolume = 0x10000000;
constexpr std::uint32_t kInlineValue = 0x40000000;
constexpr std::uint32_t kValueTypeMask = 0x00FFFFFF;
constexpr std::uint32_t kTextType = 8192;
// Bounds on what a tree may make the parser do.
constexpr std::size_t kMaxFields = 1 << 18;
constexpr std::size_t kMaxStacks = 64;
constexpr int kMaxDepth = 32;

std::uint64_t le(ByteSpan b, std::uint64_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::uint64_t>(i)];
  return v;
}
bool fits(ByteSpan b, std::uint64_t at, std::uint64_t n) { return at <= b.size() && n <= b.size() - at; }

std::string utf16_to_utf8(ByteSpan data) {
  std::string out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    std::uint32_t c = static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8));
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < data.size()) {
      const std::uint32_t low = static_cast<std::uint32_t>(data[i + 2] | (data[i + 3] << 8));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c == 0) break;
    text::append_utf8(out, c);
  }
  return out;
}

double f64(ByteSpan b, std::uint64_t at) {
  const std::uint64_t bits = le(b, at, 8);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}
double f32(ByteSpan b, std::uint64_t at) {
  const auto bits = static_cast<std::uint32_t>(le(b, at, 4));
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

Value decode(std::uint32_t type, ByteSpan data) {
  const std::size_t n = data.size();
  switch (type) {
    case 1:  // char
      if (n >= 1) return static_cast<std::int64_t>(static_cast<std::int8_t>(data[0]));
      break;
    case 2:  // unsigned char
      if (n >= 1) return static_cast<std::int64_t>(data[0]);
      break;
    case 3:  // short
      if (n >= 2) return static_cast<std::int64_t>(static_cast<std::int16_t>(le(data, 0, 2)));
      break;
    case 4:  // unsigned short
      if (n >= 2) return static_cast<std::int64_t>(le(data, 0, 2));
      break;
    case 5:   // int
    case 12:  // boolean
    case 13:  // tchar
      if (n >= 4) return static_cast<std::int64_t>(static_cast<std::int32_t>(le(data, 0, 4)));
      break;
    case 6:   // unsigned int
    case 14:  // dword
      if (n >= 4) return static_cast<std::int64_t>(le(data, 0, 4));
      break;
    case 7:   // int64
    case 8:   // unsigned int64
    case 17:  // timestamp
      if (n >= 8) return static_cast<std::int64_t>(le(data, 0, 8));
      break;
    case 9:
      if (n >= 4) return f32(data, 0);
      break;
    case 10:  // double
    case 18:  // date
      if (n >= 8) return f64(data, 0);
      break;
    case kTextType:
      return utf16_to_utf8(data);
    default:
      if ((type >= 256 && type <= 259) || (type >= 274 && type <= 277)) {  // int tuples
        std::vector<std::int64_t> v;
        for (std::size_t i = 0; i + 4 <= n; i += 4) {
          v.push_back(static_cast<std::int32_t>(le(data, i, 4)));
        }
        return v;
      }
      if (type >= 260 && type <= 268) {  // double tuples
        std::vector<double> v;
        for (std::size_t i = 0; i + 8 <= n; i += 8) v.push_back(f64(data, i));
        return v;
      }
      if (n == 4) return static_cast<std::int64_t>(static_cast<std::int32_t>(le(data, 0, 4)));
      break;
  }
  return Bytes(data.begin(), data.end());
}

class Parser {
 public:
  explicit Parser(ByteSpan file) : file_(file) {}

  // Parses the volume at `at` into tree.volumes; false when it is no volume.
  bool volume(std::uint64_t at, std::optional<std::size_t> parent, int depth, TagTree& tree) {
    if (depth > kMaxDepth || !fits(file_, at, 24)) return false;
    if (le(file_, at + 2, 2) != kVolumeMagic) return false;
    const auto first = static_cast<std::int64_t>(le(file_, at + 8, 8));
    const std::uint64_t count = le(file_, at + 16, 4) & 0x0FFFFFFF;
    const std::size_t index = tree.volumes.size();
    tree.volumes.push_back(Volume{{}, parent});
    if (first <= 0) return true;
    std::uint64_t pos = at + static_cast<std::uint64_t>(first);
    for (std::uint64_t k = 0; k < count && fields_ < kMaxFields; ++k, ++fields_) {
      if (!fits(file_, pos, 16)) break;
      const auto word = static_cast<std::uint32_t>(le(file_, pos, 4));
      Field field;
      field.tag = static_cast<std::int32_t>(le(file_, pos + 4, 4));
      field.type = word & kValueTypeMask;
      const std::uint64_t next = le(file_, pos + 8, 4);
      const std::uint64_t size = le(file_, pos + 12, 4);
      std::uint64_t data = pos + 16;
      if (word & kSecondTag) {
        if (!fits(file_, data, 4)) break;
        field.second_tag = static_cast<std::int32_t>(le(file_, data, 4));
        data += 4;
      }
      if (word & kInlineValue) {
        field.value = static_cast<std::int64_t>(size);
      } else if (word & kNestedVolume) {
        const std::size_t child = tree.volumes.size();
        if (volume(data, index, depth + 1, tree)) field.volume = child;
      } else if (fits(file_, data, size)) {
        field.value = decode(field.type, file_.subspan(data, size));
      }
      tree.volumes[index].fields.push_back(std::move(field));
      if (next == 0) break;
      // The next field lies past this one's header: no loops.
      if (at + next <= pos) break;
      pos = at + next;
    }
    return true;
  }

 private:
  ByteSpan file_;
  std::size_t fields_ = 0;
};

const Field* find_in(const TagTree& tree, std::size_t volume, std::int32_t tag, int depth = 0) {
  if (depth > kMaxDepth) return nullptr;
  for (const Field& f : tree.volumes[volume].fields) {
    if (f.tag == tag) return &f;
  }
  for (const Field& f : tree.volumes[volume].fields) {
    if (f.volume) {
      if (const Field* found = find_in(tree, *f.volume, tag, depth + 1)) return found;
    }
  }
  return nullptr;
}

std::optional<double> number(const Value& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  return std::nullopt;
}

}  // namespace

Result<TagTree, std::string> parse_tag_tree(ByteSpan file, std::uint64_t offset) {
  TagTree tree;
  Parser parser(file);
  if (!parser.volume(offset, std::nullopt, 0, tree)) {
    return std::string("no metadata tree at offset ") + std::to_string(offset);
  }
  return tree;
}

std::vector<Stack> stacks(const TagTree& tree) {
  // Which volumes hold a boundary somewhere inside; nested volumes come after
  // the volume that holds them.
  std::vector<bool> bounded(tree.volumes.size(), false);
  for (std::size_t v = tree.volumes.size(); v-- > 0;) {
    for (const Field& f : tree.volumes[v].fields) {
      if (f.tag == kTagImageBoundary) bounded[v] = true;
    }
    const auto parent = tree.volumes[v].parent;
    if (bounded[v] && parent && *parent < v) bounded[*parent] = true;
  }
  std::vector<Stack> out;
  std::vector<std::size_t> seen;
  for (std::size_t v = 0; v < tree.volumes.size() && out.size() < kMaxStacks; ++v) {
    for (const Field& f : tree.volumes[v].fields) {
      if (f.tag != kTagStackType || out.size() >= kMaxStacks) continue;
      // The closest volume around the stack type that holds its boundary.
      std::size_t home = v;
      while (!bounded[home] && tree.volumes[home].parent && *tree.volumes[home].parent < home) {
        home = *tree.volumes[home].parent;
      }
      if (!bounded[home]) home = v;
      if (std::find(seen.begin(), seen.end(), home) != seen.end()) continue;
      seen.push_back(home);

      Stack stack;
      if (const auto* i = std::get_if<std::int64_t>(&f.value)) {
        stack.type = *i;
      } else if (const auto* d = std::get_if<double>(&f.value); d && std::fabs(*d) < 1e9) {
        stack.type = static_cast<std::int64_t>(*d);
      }
      if (const Field* b = find_in(tree, home, kTagImageBoundary)) {
        if (const auto* r = std::get_if<std::vector<std::int64_t>>(&b->value); r && r->size() >= 4) {
          stack.boundary = std::array<std::int64_t, 4>{(*r)[0], (*r)[1], (*r)[2], (*r)[3]};
        }
      }
      if (const Field* n = find_in(tree, home, kTagStackName)) {
        if (const auto* s = std::get_if<std::string>(&n->value)) stack.name = *s;
      }
      if (const Field* e = find_in(tree, home, kTagHasExternalFile)) {
        stack.external = number(e->value).value_or(0) != 0;
      }
      if (const Field* p = find_in(tree, home, kTagPixelSize)) {
        if (const auto* d = std::get_if<std::vector<double>>(&p->value); d && d->size() >= 2) {
          stack.pixel_size = std::make_pair((*d)[0], (*d)[1]);
        } else if (const auto one = number(p->value)) {
          stack.pixel_size = std::make_pair(*one, *one);
        }
      }
      if (const Field* u = find_in(tree, home, kTagPixelUnit)) {
        if (const auto* s = std::get_if<std::string>(&u->value)) stack.pixel_unit = *s;
      }
      if (const Field* o = find_in(tree, home, kTagObjectiveMagnification)) {
        stack.objective = number(o->value);
      }
      if (const Field* a = find_in(tree, home, kTagObjectiveAperture)) {
        stack.aperture = number(a->value);
      }
      if (const Field* n = find_in(tree, home, kTagObjectiveName)) {
        if (const auto* s = std::get_if<std::string>(&n->value)) stack.objective_name = *s;
      }
      out.push_back(std::move(stack));
    }
  }
  return out;
}

std::optional<std::size_t> main_stack(const std::vector<Stack>& all) {
  std::optional<std::size_t> best;
  long double best_area = -1;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].type != 0) continue;
    long double area = 0;
    if (const auto& b = all[i].boundary; b && (*b)[2] > 0 && (*b)[3] > 0) {
      area = static_cast<long double>((*b)[2]) * static_cast<long double>((*b)[3]);
    }
    if (area > best_area) {
      best = i;
      best_area = area;
    }
  }
  return best;
}

std::optional<double> micrometres_per_unit(std::string_view unit) {
  // "10^E" then "m" then an optional "^1".
  if (unit.substr(0, 3) != "10^") return std::nullopt;
  std::size_t i = 3;
  bool negative = false;
  if (i < unit.size() && (unit[i] == '-' || unit[i] == '+')) negative = unit[i++] == '-';
  int exponent = 0;
  const std::size_t digits = i;
  while (i < unit.size() && unit[i] >= '0' && unit[i] <= '9' && exponent < 100) {
    exponent = exponent * 10 + (unit[i++] - '0');
  }
  if (i == digits || i >= unit.size() || unit[i] != 'm') return std::nullopt;
  const std::string_view rest = unit.substr(i + 1);
  if (!rest.empty() && rest != "^1") return std::nullopt;
  return std::pow(10.0, (negative ? -exponent : exponent) + 6);
}

std::string value_text(const Value& value) {
  auto num = [](double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    // The shortest form that reads back the same.
    for (int p = 1; p <= 17; ++p) {
      char shorter[32];
      std::snprintf(shorter, sizeof shorter, "%.*g", p, d);
      const bool plain = std::fabs(d) < 1e-4 || std::fabs(d) >= 1e15 ||
                         std::strchr(shorter, 'e') == nullptr;
      if (plain && std::strtod(shorter, nullptr) == d) return std::string(shorter);
    }
    return std::string(buf);
  };
  if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&value)) return num(*d);
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  std::string out;
  if (const auto* v = std::get_if<std::vector<std::int64_t>>(&value)) {
    for (const auto x : *v) {
      if (!out.empty()) out += ',';
      out += std::to_string(x);
    }
  } else if (const auto* w = std::get_if<std::vector<double>>(&value)) {
    for (const double x : *w) {
      if (!out.empty()) out += ',';
      out += num(x);
    }
  }
  return out;
}

}  // namespace kolva::format::vsi
