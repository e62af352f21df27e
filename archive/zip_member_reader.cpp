// A member's data, read in layers: its raw range in the archive, then PKWARE
// or AES decryption, then inflate, then the size and CRC check before the
// bytes reach the caller's sink.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "archive/zip_archiver.h"
#include "archive/zip_crypto.h"
#include "archive/zip_internal.h"
#include "archive/zip_records.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace bv {
namespace {

using zip::Bytes;
using zip::Inflater;

constexpr size_t kReadChunk = 1 << 20;

// The member's stored bytes: from its data's start, as many as the directory
// records, and never into the central directory.
class RawRange {
public:
    RawRange(zip::Source& file, uint64_t length, const std::wstring& archive)
        : file_(file), remaining_(length), archive_(archive) {}
    uint64_t Remaining() const { return remaining_; }
    // The next n bytes of the range. A read error is the archive's; bytes
    // missing at the end make the member bad.
    void Read(uint8_t* p, size_t n) {
        Result<size_t> got = file_.ReadFull(p, n);
        if (!got) throw EZipError(zeArchiveRead, archive_, got.error().native);
        if (got.value() != n) throw EZipError(zeBadData);
        remaining_ -= n;
    }
    // Sets aside the last n bytes, which follow the data (the AES
    // authentication code); false when the range is shorter.
    bool Reserve(size_t n) {
        if (remaining_ < n) return false;
        remaining_ -= n;
        return true;
    }
    // The bytes set aside, once the data before them has been read.
    bool ReadReserved(uint8_t* p, size_t n) {
        Result<size_t> got = file_.ReadFull(p, n);
        return got && got.value() == n;
    }

private:
    zip::Source& file_;
    uint64_t remaining_;
    const std::wstring& archive_;
};

// PKWARE or AES decryption, or none: the password test at the encryption
// header, the data in place, and for AES the authentication code at the end.
class Decryption {
public:
    // `aes` is kept between members: its cipher and HMAC contexts are
    // re-keyed, not made anew for every member.
    Decryption(const ZipEntry& e, std::unique_ptr<zip::AesCipher>& aes) : e_(e), aes_(aes) {}
    bool IsAes() const { return e_.encryption != ZipEncryption::None && e_.encryption != ZipEncryption::Pkware; }

    // Reads the encryption header and tests `password` (which `prompt`
    // replaces) until it fits; false when the user gives up.
    bool Start(RawRange& raw, const std::string& password, const std::function<bool()>& prompt) {
        const ZipEntry& e = e_;
        if (e.encryption == ZipEncryption::Pkware) {
            if (raw.Remaining() < 12) throw EZipError(zeBadData);
            uint8_t header[12];
            raw.Read(header, 12);
            uint8_t check = (e.flags & 8) ? static_cast<uint8_t>(e.modTime >> 8)
                                          : static_cast<uint8_t>(e.crc32 >> 24);
            while (!pkware_.TestHeader(password, header, check))
                if (!prompt()) return false;
        } else if (IsAes()) {
            size_t saltLength = zip::AesSaltLength(e.aesStrength);
            size_t overhead = saltLength + zip::kAesVerifierLength + zip::kAesCodeLength;
            if (raw.Remaining() < overhead) throw EZipError(zeBadData);
            uint8_t salt[16], stored[2], derived[2];
            raw.Read(salt, saltLength);
            raw.Read(stored, 2);
            raw.Reserve(zip::kAesCodeLength);
            if (!aes_) aes_ = std::make_unique<zip::AesCipher>();
            for (;;) {
                if (!aes_->Init(password, e.aesStrength, salt, derived)) throw EZipError(zeBadData);
                if (derived[0] == stored[0] && derived[1] == stored[1]) break;
                if (!prompt()) return false;
            }
        }
        return true;
    }

    void Decrypt(uint8_t* p, size_t n) {
        if (e_.encryption == ZipEncryption::Pkware) pkware_.Decrypt(p, n);
        else if (IsAes() && !aes_->Decrypt(p, n)) throw EZipError(zeBadData);
    }

    // After all the data: whether the authentication code matches (true
    // for members without one).
    bool CodeMatches(RawRange& raw) {
        if (!IsAes()) return true;
        uint8_t stored[zip::kAesCodeLength], computed[zip::kAesCodeLength];
        return raw.ReadReserved(stored, sizeof stored) && aes_->Code(computed) &&
               std::memcmp(stored, computed, sizeof stored) == 0;
    }

private:
    const ZipEntry& e_;
    zip::PkwareCipher pkware_;
    std::unique_ptr<zip::AesCipher>& aes_;
};

// Hands the member's bytes on, never more than the recorded size: a header
// that lies about the size cannot make us write without end. Keeps the CRC,
// except for AES members, which are checked by their authentication code
// alone.
class Check {
public:
    Check(const ZipEntry& e, const ZipArchiver::Sink& sink, bool crc) : e_(e), sink_(sink), crcWanted_(crc) {}
    void Emit(const uint8_t* p, size_t n) {
        if (n > e_.uncompressedSize - produced_) {
            n = static_cast<size_t>(e_.uncompressedSize - produced_);
            bad_ = true;
        }
        if (n == 0) return;
        if (crcWanted_) crc_ = static_cast<uint32_t>(crc32(crc_, p, static_cast<uInt>(n)));
        produced_ += n;
        Result<void> taken = sink_(p, n);
        if (!taken) throw EZipError(zeDiskFull, L"", taken.error().native);
    }
    void Fail() { bad_ = true; }
    bool Bad() const { return bad_; }
    // At the end: the size and CRC the directory records.
    void Finish() {
        if (produced_ != e_.uncompressedSize) bad_ = true;
        if (crcWanted_ && crc_ != e_.crc32) bad_ = true;
    }

private:
    const ZipEntry& e_;
    const ZipArchiver::Sink& sink_;
    const bool crcWanted_;
    uint32_t crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t produced_ = 0;
    bool bad_ = false;
};

// Inflates the decrypted blocks into `out`, handing what comes out to the
// check. Ended() once the deflate stream is complete.
class Inflate {
public:
    Inflate(Inflater& inflater, uint8_t* out, size_t outSize, const ZipArchiver::Room& room)
        : z_(inflater.z), out_(out), outSize_(outSize), room_(room) {}
    bool Ended() const { return ended_; }
    void Feed(uint8_t* in, size_t n, Check& check) {
        z_.next_in = in;
        z_.avail_in = static_cast<uInt>(n);
        while (!check.Bad() && !ended_) {
            uint8_t* out = out_;
            size_t size = outSize_;
            if (room_) {
                out = room_(size);
                size = std::min<size_t>(size, outSize_);
            }
            z_.next_out = out;
            z_.avail_out = static_cast<uInt>(size);
            int rc = inflate(&z_, Z_NO_FLUSH);
            check.Emit(out, size - z_.avail_out);
            if (rc == Z_STREAM_END) {
                ended_ = true;
            } else if (rc == Z_BUF_ERROR || (rc == Z_OK && z_.avail_in == 0 && z_.avail_out != 0)) {
                if (z_.avail_in == 0) break;
                check.Fail();
            } else if (rc != Z_OK) {
                check.Fail();
            }
        }
    }

private:
    z_stream& z_;
    uint8_t* const out_;
    const size_t outSize_;
    const ZipArchiver::Room& room_;
    bool ended_ = false;
};

}  // namespace

// Where the member's data starts: after its local header, at the recorded
// offset or shifted by the foreign data found in front of the archive.
uint64_t ZipArchiver::MemberDataStart(const ZipEntry& e) {
    uint8_t h[zip::LocalHeader::kSize];
    zip::LocalHeader header;
    uint64_t at = e.localHeaderOffset;
    auto headerAt = [&](uint64_t pos) {
        Bytes r(h, sizeof h);
        return file_.ReadAt(pos, h, sizeof h) && zip::Read(r, header);
    };
    if (!headerAt(at)) {
        if (offsetBias_ == 0 || !headerAt(at + static_cast<uint64_t>(offsetBias_)))
            throw EZipError(zeBadData);
        at += static_cast<uint64_t>(offsetBias_);
    }
    return at + zip::LocalHeader::kSize + header.nameLength + header.extraLength;
}

bool ZipArchiver::ReadMemberData(size_t index, const Sink& sink, const Room& room) {
    if (mode_ != Mode::Reading) throw EZipError(zeNotOpen);
    const ZipEntry& e = entries_.at(index);
    if (e.refusal) throw Refusal(e);
    if (e.actualMethod == 9) throw EZipError(zeDeflate64);
    if (e.actualMethod != 0 && e.actualMethod != 8) throw EZipError(zeBadData);

    uint64_t dataStart = MemberDataStart(e);
    uint64_t length = e.compressedSize;
    if (dataStart >= directoryStart_) length = 0;
    else if (length > directoryStart_ - dataStart) length = directoryStart_ - dataStart;
    Result<void> sought = file_.Seek(dataStart);
    if (!sought) throw EZipError(zeArchiveRead, FileName, sought.error().native);
    RawRange raw(file_, length, FileName);

    auto prompt = [&]() {
        std::wstring typed;
        bool ok = Ask().AskPassword(e.name, typed) == Answer::Ok;
        if (ok) {
            crypto::Wipe(Password.data(), Password.size());
            Password = os::ToAnsi(typed);
        }
        for (wchar_t& c : typed) c = 0;
        return ok;
    };
    Decryption decryption(e, aes_);
    if (!decryption.Start(raw, Password, prompt)) return false;
    const bool isAes = decryption.IsAes();

    const bool deflated = e.actualMethod == 8;
    // Buffers and the inflate state are kept between members: archives of
    // many small members would otherwise spend their time allocating.
    const size_t inSize = static_cast<size_t>(std::min<uint64_t>(raw.Remaining(), kReadChunk));
    if (inBuf_.size() < inSize) inBuf_.resize(inSize);
    // Inflated data goes out in blocks of up to 1 MiB; a small member needs
    // no megabyte of space (whose allocation would cost more than its data).
    const size_t outSize =
        static_cast<size_t>(std::clamp<uint64_t>(e.uncompressedSize, uint64_t{64} << 10, kReadChunk));
    if (deflated && !room && outBuf_.size() < outSize) outBuf_.resize(outSize);
    uint8_t* const in = inBuf_.data();
    if (deflated) {
        if (!inflater_) inflater_ = std::make_unique<Inflater>();
        else if (inflateReset(&inflater_->z) != Z_OK) inflater_->ready = false;
        if (!inflater_->ready) {
            inflater_.reset();
            throw EZipError(zeBadData);
        }
    }
    std::optional<Inflate> inflate;
    if (deflated) inflate.emplace(*inflater_, outBuf_.data(), outSize, room);
    Check check(e, sink, !isAes);
    while (raw.Remaining() > 0 && !check.Bad()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(raw.Remaining(), inSize));
        raw.Read(in, n);
        decryption.Decrypt(in, n);
        if (!deflated) {
            check.Emit(in, n);
            continue;
        }
        if (inflate->Ended()) continue;  // AES: the rest is still authenticated
        inflate->Feed(in, n, check);
        if (inflate->Ended() && !isAes) break;
    }
    // The code follows the data directly; the file stands there now.
    if (isAes && !check.Bad() && !decryption.CodeMatches(raw)) check.Fail();
    if (deflated && !inflate->Ended()) check.Fail();
    check.Finish();
    if (check.Bad() && !ExtractCorruptedFiles) throw EZipError(zeBadData);
    return true;
}

}  // namespace bv
