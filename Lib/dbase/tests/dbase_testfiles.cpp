#include "dbase_testfiles.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "dbase.h"

namespace dbtest {

Bytes MakeDbf(const std::vector<Field>& fields, const std::vector<std::vector<std::string>>& records,
              unsigned char version) {
    unsigned reclen = 1;
    for (const Field& f : fields) reclen += static_cast<unsigned>(f.width);
    unsigned hdrlen = 32 + 32 * static_cast<unsigned>(fields.size()) + 1;
    Bytes b(hdrlen, 0);
    b[0] = version;
    b[1] = 126;
    b[2] = 12;
    b[3] = 7;
    Put32(b, 4, static_cast<unsigned>(records.size()));
    Put16(b, 8, hdrlen);
    Put16(b, 10, reclen);
    b[28] = 1;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::size_t d = 32 + 32 * i;
        std::memcpy(&b[d], fields[i].name.c_str(), std::min<std::size_t>(10, fields[i].name.size()));
        b[d + 11] = static_cast<unsigned char>(fields[i].type);
        b[d + 16] = static_cast<unsigned char>(fields[i].width);
        b[d + 17] = static_cast<unsigned char>(fields[i].decimals);
    }
    b[hdrlen - 1] = 0x0D;
    for (const auto& r : records) {
        std::string rec = r.size() > fields.size() ? r[fields.size()] : " ";  // extra value: flag
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::string v = i < r.size() ? r[i] : "";
            std::size_t w = static_cast<std::size_t>(fields[i].width);
            v = v.substr(0, w);
            if (fields[i].type == 'N')
                rec += std::string(w - v.size(), ' ') + v;
            else
                rec += v + std::string(w - v.size(), ' ');
        }
        b.insert(b.end(), rec.begin(), rec.end());
    }
    b.push_back(0x1A);
    return b;
}

namespace {

constexpr unsigned kPage = 1024;

unsigned EntryLen(const Tag& t) { return (static_cast<unsigned>(t.keylen) + 4 + 3) / 4 * 4; }

// Appends a page at the end of the file and returns its block.
unsigned AddPage(Bytes& f) {
    unsigned block = static_cast<unsigned>(f.size() / 512);
    f.resize(f.size() + kPage, 0);
    return block;
}

void PutEntry(Bytes& f, unsigned block, unsigned i, const Tag& t, unsigned ptr, const std::string& key) {
    std::size_t at = block * 512u + 8 + i * EntryLen(t);
    Put32(f, at, ptr);
    std::memcpy(&f[at + 4], key.data(), std::min<std::size_t>(key.size(), static_cast<std::size_t>(t.keylen)));
}

}  // namespace

Bytes MakeMdx(const std::vector<Tag>& tags) {
    Bytes f(2048, 0);  // file header, tag table (blocks 0-3)
    f[0] = 2;
    f[20] = 2;
    f[24] = 1;
    f[25] = 48;
    f[26] = 32;
    Put32(f, 28, static_cast<unsigned>(tags.size()));

    // Tag-name tree: slots 1..n in the order given, balanced by name.
    std::vector<int> order(tags.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return tags[a].name < tags[b].name; });
    std::function<int(int, int)> build = [&](int lo, int hi) -> int {
        if (lo >= hi) return 0;
        int mid = (lo + hi) / 2;
        int slot = order[mid] + 1;
        f[512 + 32 * slot + 16] = static_cast<unsigned char>(build(lo, mid));
        f[512 + 32 * slot + 17] = static_cast<unsigned char>(build(mid + 1, hi));
        return slot;
    };
    f[512 + 17] = static_cast<unsigned char>(build(0, static_cast<int>(tags.size())));

    for (std::size_t n = 0; n < tags.size(); ++n) {
        const Tag& t = tags[n];
        unsigned el = EntryLen(t);
        unsigned fit = (kPage - 12) / el;
        unsigned per_leaf = t.per_leaf > 0 ? static_cast<unsigned>(t.per_leaf) : fit;
        unsigned per_node = t.per_node > 0 ? static_cast<unsigned>(t.per_node) : fit + 1;
        unsigned hdr = AddPage(f);
        std::size_t slot = 512 + 32 * (n + 1);
        Put32(f, slot, hdr);
        std::memcpy(&f[slot + 4], t.name.c_str(), std::min<std::size_t>(10, t.name.size()));
        f[slot + 15] = 0x10;

        // Leaves, then interior levels until one page remains.
        struct Child {
            unsigned block;
            std::string high;
        };
        std::vector<Child> level;
        std::size_t i = 0;
        do {
            unsigned b = AddPage(f);
            unsigned k = 0;
            for (; k < per_leaf && i < t.entries.size(); ++k, ++i)
                PutEntry(f, b, k, t, static_cast<unsigned>(t.entries[i].second), t.entries[i].first);
            Put32(f, b * 512u, k);
            level.push_back({b, k ? t.entries[i - 1].first : std::string()});
        } while (i < t.entries.size());
        while (level.size() > 1) {
            std::vector<Child> up;
            for (std::size_t c = 0; c < level.size();) {
                unsigned b = AddPage(f);
                std::size_t take = std::min<std::size_t>(per_node, level.size() - c);
                for (std::size_t k = 0; k + 1 < take; ++k)
                    PutEntry(f, b, static_cast<unsigned>(k), t, level[c + k].block, level[c + k].high);
                Put32(f, b * 512u, static_cast<unsigned>(take - 1));
                Put32(f, b * 512u + 8 + (take - 1) * el, level[c + take - 1].block);
                up.push_back({b, level[c + take - 1].high});
                c += take;
            }
            level.swap(up);
        }
        std::size_t h = hdr * 512u;
        Put32(f, h + 0, level[0].block);
        Put32(f, h + 4, static_cast<unsigned>(f.size() / 512) - hdr);
        f[h + 8] = static_cast<unsigned char>(0x10 | (t.descending ? 0x08 : 0) | (t.unique ? 0x40 : 0));
        f[h + 9] = static_cast<unsigned char>(t.type);
        Put16(f, h + 12, static_cast<unsigned>(t.keylen));
        Put16(f, h + 14, fit);
        Put16(f, h + 18, el);
        f[h + 20] = t.counter;
        f[h + 23] = t.unique ? 0x40 : 0;
        std::memcpy(&f[h + 24], t.name.c_str(), t.name.size());
    }
    Put32(f, 32, static_cast<unsigned>(f.size() / 512));
    return f;
}

unsigned TagHeaderBlock(const Bytes& mdx, int n) { return Get32(mdx, 512 + 32 * (n + 1)); }
unsigned RootBlock(const Bytes& mdx, int n) { return Get32(mdx, TagHeaderBlock(mdx, n) * 512u); }

std::string NumKey(const std::string& text) {
    char key[DB_NUMKEY_LEN];
    dUnftonk(nullptr, 1, text.c_str(), static_cast<int>(text.size()), key);
    return std::string(key, sizeof key);
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return std::fclose(fp) == 0 && ok;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dbase-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace dbtest
