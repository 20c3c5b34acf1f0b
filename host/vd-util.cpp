// Digests, digest texts and variable expansion.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vd-base.hpp"

namespace {

void AppendHex(std::string &out, const std::uint8_t *bytes, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    out.reserve(out.size() + length * 2);
    for (std::size_t i = 0; i < length; i++) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
}

struct FdCloser {
    void operator()(const int *fd) const { ::close(*fd); }
};

struct MdContextDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

int vd_sha1_file(const std::string &filename, std::uint8_t *digest)
{
    // Opened without waiting for a writer: a named pipe would block an
    // ordinary open for ever. Only a regular file has an end: a device or a
    // pipe would be read for ever, and a directory cannot be read.
    int fd = ::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    std::unique_ptr<int, FdCloser> closer(&fd);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;

    std::unique_ptr<EVP_MD_CTX, MdContextDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) return -1;

    unsigned char buffer[8192];
    for (;;) {
        ssize_t length = ::read(fd, buffer, sizeof(buffer));
        if (length == 0) break;
        if (length < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(length)) != 1) return -1;
    }

    unsigned int digest_length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &digest_length) != 1 || digest_length != 20)
        return -1;
    return 0;
}

void vd_sha1_to_string(const std::vector<std::uint8_t> &digest, std::string &digest_str)
{
    digest_str.clear();
    AppendHex(digest_str, digest.data(), digest.size());
}

void vd_xxh64_to_string(std::uint64_t digest, std::string &digest_str)
{
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(digest));
    digest_str.assign(text, 16);
}

std::size_t vd_expand_variables(const std::string &input, std::string &output,
    const std::map<std::string, std::string> &vars)
{
    std::string result;
    std::size_t replaced = 0, pos = 0;
    while (pos < input.size()) {
        std::size_t start = input.find("${", pos);
        if (start == std::string::npos) break;
        std::size_t end = input.find('}', start + 2);
        if (end == std::string::npos) break;
        result.append(input, pos, start - pos);
        auto var = vars.find(input.substr(start + 2, end - start - 2));
        if (var == vars.end()) {
            result.append(input, start, end + 1 - start);
        } else {
            result.append(var->second);
            replaced++;
        }
        pos = end + 1;
    }
    result.append(input, pos, std::string::npos);
    output = std::move(result);
    return replaced;
}
