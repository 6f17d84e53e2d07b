// PNG on Windows through the Windows Imaging Component, the platform's own codecs: no libpng to
// ship, and the file is the one any Windows program would write. WIC's 16bppGray format takes
// one 16-bit sample per pixel in the machine's (little-endian) order, which is how the camera
// sends pixels, so a frame goes to the encoder as it came.
//
// Not every WIC keeps that promise: Wine 8's PNG encoder stores the samples it is given without
// turning them into PNG's big-endian order, so every pixel comes out byte-swapped (its decoder
// is right). The writer therefore asks the encoder once, with a two-pixel image in memory read
// back through the decoder, and swaps the samples itself where the encoder would not.
#include "image.h"

#include <fmt/format.h>

#include <windows.h>

#include <objbase.h>
#include <wincodec.h>

#include <system_error>
#include <utility>
#include <vector>

namespace tovrik::cli {

namespace {

// Owns one COM interface pointer.
template <typename Interface> class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p_ != nullptr)
            p_->Release();
    }
    Interface* operator->() const { return p_; }
    Interface* get() const { return p_; }
    Interface** put() { return &p_; }

  private:
    Interface* p_ = nullptr;
};

// COM for this thread, for as long as the image is written. A thread that already runs COM in
// another apartment keeps it (RPC_E_CHANGED_MODE): WIC works in either.
class ComScope {
  public:
    ComScope() {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
        owned_ = SUCCEEDED(hr);
        if (FAILED(hr) && hr != RPC_E_CHANGED_MODE)
            failure_ = hr;
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (owned_)
            CoUninitialize();
    }
    HRESULT Failure() const { return failure_; }

  private:
    bool owned_ = false;
    HRESULT failure_ = S_OK;
};

std::string Describe(HRESULT hr) {
    std::string text = std::system_category().message(static_cast<int>(hr));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return fmt::format("{} (HRESULT 0x{:08X})", text, static_cast<std::uint32_t>(hr));
}

// Removes a half-written file when the writing fails, so a failed capture never leaves a PNG
// that looks like a frame. Armed once the file is created; declared before the stream, so the
// stream has closed the file by the time this removes it.
class PartialFile {
  public:
    explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) {}
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (armed_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    void Arm() { armed_ = true; }
    void Keep() { armed_ = false; }

  private:
    std::filesystem::path path_;
    bool armed_ = false;
};

// Writes a 16-bit grayscale PNG of `pixels` (little-endian samples) to `stream`.
HRESULT EncodeGray16(IWICImagingFactory* factory, IStream* stream, std::uint32_t width,
                     std::uint32_t height, const std::uint8_t* pixels, bool* notGray16) {
    ComPtr<IWICBitmapEncoder> encoder;
    HRESULT hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put());
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    ComPtr<IWICBitmapFrameEncode> frame;
    if (SUCCEEDED(hr))
        hr = encoder->CreateNewFrame(frame.put(), nullptr);
    if (SUCCEEDED(hr))
        hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr))
        hr = frame->SetSize(width, height);
    // The encoder answers with the closest format it has; anything but 16-bit gray would store
    // other samples than the camera's, so it is refused rather than converted.
    WICPixelFormatGUID format = GUID_WICPixelFormat16bppGray;
    if (SUCCEEDED(hr))
        hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat16bppGray)) {
        *notGray16 = true;
        return E_FAIL;
    }
    const UINT stride = width * 2;
    if (SUCCEEDED(hr))
        hr = frame->WritePixels(height, stride, stride * height, const_cast<BYTE*>(pixels));
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    return hr;
}

// Whether this system's PNG encoder stores 16-bit samples byte-swapped: a two-pixel image
// goes through the encoder into memory and back through the decoder. Asked once per process.
enum class SampleOrder { Kept, Swapped, Unknown };

SampleOrder ProbeSampleOrder(IWICImagingFactory* factory) {
    static const std::uint8_t kProbe[4] = {0x34, 0x12, 0xCD, 0xAB}; // 0x1234, 0xABCD
    ComPtr<IStream> memory;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, memory.put())))
        return SampleOrder::Unknown;
    bool notGray16 = false;
    if (FAILED(EncodeGray16(factory, memory.get(), 2, 1, kProbe, &notGray16)))
        return SampleOrder::Unknown;
    LARGE_INTEGER start{};
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    WICPixelFormatGUID format{};
    std::uint8_t back[4] = {};
    if (FAILED(memory->Seek(start, STREAM_SEEK_SET, nullptr)) ||
        FAILED(factory->CreateDecoderFromStream(memory.get(), nullptr,
                                                WICDecodeMetadataCacheOnDemand, decoder.put())) ||
        FAILED(decoder->GetFrame(0, frame.put())) || FAILED(frame->GetPixelFormat(&format)) ||
        !IsEqualGUID(format, GUID_WICPixelFormat16bppGray) ||
        FAILED(frame->CopyPixels(nullptr, 4, sizeof back, back)))
        return SampleOrder::Unknown;
    if (back[0] == 0x34 && back[1] == 0x12 && back[2] == 0xCD && back[3] == 0xAB)
        return SampleOrder::Kept;
    if (back[0] == 0x12 && back[1] == 0x34 && back[2] == 0xAB && back[3] == 0xCD)
        return SampleOrder::Swapped;
    return SampleOrder::Unknown;
}

} // namespace

bool CanWritePng() {
    return true;
}

void WriteGray16Png(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                    std::span<const std::uint8_t> pixels) {
    RequireGray16Frame(path, width, height, pixels);
    // WIC takes the stride and the buffer size as 32-bit counts.
    const std::uint64_t stride = std::uint64_t{width} * 2;
    if (stride > 0xFFFFFFFFu || pixels.size() > 0xFFFFFFFFu)
        throw FileError(fmt::format("'{}': a {} x {} frame is too large for a PNG writer",
                                    path.string(), width, height));
    MakeParentFolders(path);

    auto fail = [&](const char* step, HRESULT hr) {
        return FileError(
            fmt::format("cannot write '{}': {}: {}", path.string(), step, Describe(hr)));
    };
    ComScope com;
    if (FAILED(com.Failure()))
        throw fail("COM did not start", com.Failure());

    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr))
        throw fail("no Windows Imaging Component", hr);

    // A system whose encoder swaps the samples gets them swapped beforehand, so the file holds
    // the camera's values; one whose answer makes no sense gets no file rather than a wrong one.
    static const SampleOrder order = ProbeSampleOrder(factory.get());
    if (order == SampleOrder::Unknown)
        throw FileError(fmt::format("cannot write '{}': this system's PNG encoder does not keep "
                                    "16-bit grayscale samples; use --raw",
                                    path.string()));

    PartialFile partial(path);
    ComPtr<IWICStream> stream;
    hr = factory->CreateStream(stream.put());
    if (FAILED(hr))
        throw fail("no stream", hr);
    hr = stream->InitializeFromFilename(path.wstring().c_str(), GENERIC_WRITE);
    if (FAILED(hr))
        throw fail("cannot create the file", hr);
    partial.Arm();

    std::vector<std::uint8_t> swapped;
    const std::uint8_t* samples = pixels.data();
    if (order == SampleOrder::Swapped) {
        swapped.resize(pixels.size());
        for (std::size_t i = 0; i + 1 < pixels.size(); i += 2) {
            swapped[i] = pixels[i + 1];
            swapped[i + 1] = pixels[i];
        }
        samples = swapped.data();
    }
    bool notGray16 = false;
    hr = EncodeGray16(factory.get(), stream.get(), width, height, samples, &notGray16);
    if (notGray16)
        throw FileError(fmt::format("cannot write '{}': this system's PNG encoder does not store "
                                    "16-bit grayscale; use --raw",
                                    path.string()));
    if (FAILED(hr))
        throw fail("cannot encode the image", hr);
    partial.Keep();
}

} // namespace tovrik::cli
