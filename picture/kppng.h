// SPDX-License-Identifier: MIT
// The system's own zlib/deflate inflater and streaming PNG decoder (RGBA, 8 bits per channel).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class KpGenericPngDecoder;
class KpBitReader;

// One node of a Huffman decoding tree; a node with no branches is a leaf holding its symbol.
struct KpPngHuffmanTree {
    KpPngHuffmanTree* zero = nullptr;
    KpPngHuffmanTree* one = nullptr;
    int value = 0x7FFFFFFF;  // no symbol
};

// Where a streamed inflate takes its compressed bytes from.
class KpInflateInput {
  public:
    virtual ~KpInflateInput() = default;
    // Up to `capacity` further bytes into `buffer`; 0 only at the end of the input.
    virtual size_t Read(unsigned char* buffer, size_t capacity) = 0;
};

// Inflates one RFC 1950 stream, handing the bytes to the sink's OutputBytes in pieces as they are
// decoded. Codes are looked up in tables built from the decoding trees; the result (bytes, messages
// and the point of failure) is the one of walking the tree bit by bit and handing every byte on at
// once. Messages go through kpPngMessage.
class KpPngUncompressor {
  public:
    explicit KpPngUncompressor(KpGenericPngDecoder* sink) : sink(sink) {}

    // 1 when the final block ended normally, 0 on any failure; bytes decoded before a failure are
    // handed on, up to a byte the sink refuses.
    int Uncompress(unsigned int length, unsigned char* data);
    // The same, reading the stream in pieces.
    int Uncompress(KpInflateInput& input);
    // The bytes the stream is expected to hold (0: unknown); only the buffer's size follows it.
    void SetSizeHint(uint64_t bytes) { sizeHint = bytes; }

    void MakeFixedHuffmanCode(unsigned int* lengths, unsigned int* codes);
    void MakeDynamicHuffmanCode(unsigned int* lengthsOut, unsigned int* codesOut, unsigned int count,
                                unsigned int* lengthsIn);
    // The tree's nodes are one array with the root first; DeleteHuffmanTree frees it.
    KpPngHuffmanTree* MakeHuffmanTree(unsigned int count, unsigned int* lengths, unsigned int* codes);
    void DeleteHuffmanTree(KpPngHuffmanTree* root);

  private:
    struct Block;
    struct Window;
    int Run(KpBitReader& in);
    int InflateBlocks(KpBitReader& in, Window& window);
    int InflateStored(KpBitReader& in, Window& window);
    int InflateCodes(Block& block, KpBitReader& in, Window& window);
    int ReadDynamicCode(Block& block, KpBitReader& in);
    bool Flush(Window& window);
    bool Slide(Window& window);
    // Notes the message a failure prints once the bytes before it are handed on; 0.
    int Fail(const char* message);

    KpGenericPngDecoder* sink;
    const char* failMessage = nullptr;
    bool refused = false;  // the sink refused a byte: nothing more is decoded or said
    uint64_t sizeHint = 0;
};

// Where the decoder's one-line messages go; stdout unless a test replaces it.
extern void (*kpPngMessage)(const char* line);

struct KpPngHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitDepth = 0;
    uint32_t colorType = 0;
    uint32_t compressionMethod = 0;
    uint32_t filterMethod = 0;
    uint32_t interlaceMethod = 0;
    bool valid = false;  // set by an IHDR; the fields mean nothing before one

    void Decode(const unsigned char* data);
};

struct KpPngPalette {
    int numEntry = 0;
    unsigned char* entry = nullptr;  // red, green, blue of each entry

    KpPngPalette() = default;
    ~KpPngPalette() { delete[] entry; }
    KpPngPalette(const KpPngPalette&) = delete;
    KpPngPalette& operator=(const KpPngPalette&) = delete;
    int Decode(unsigned int length, const unsigned char* data);
};

struct KpPngTransparency {
    uint32_t key[3] = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF};  // grey or red/green/blue keys
    unsigned char alpha[256];  // per palette entry; 255 beyond the chunk's length

    KpPngTransparency();
    int Decode(unsigned int length, const unsigned char* data, unsigned int colorType);
};

// Reads a PNG stream's chunks and inflates its image data into the virtual sink.
class KpGenericPngDecoder {
  public:
    KpGenericPngDecoder() = default;
    KpGenericPngDecoder(const KpGenericPngDecoder&) = delete;
    KpGenericPngDecoder& operator=(const KpGenericPngDecoder&) = delete;

    virtual int PrepareOutput() { return 1; }
    virtual int Output(unsigned char) { return 1; }
    // Several bytes at once: 1 when all were taken, 0 when one was refused (the bytes after it are
    // not looked at). By default each goes to Output in turn.
    virtual int OutputBytes(const unsigned char* bytes, size_t count);
    virtual int EndOutput() { return 1; }
    // The bytes the sink takes at most, once PrepareOutput succeeded; 0 when not known.
    virtual uint64_t ExpectedBytes() const { return 0; }

    // -1 for a null stream, a missing signature or a malformed PLTE; 1 otherwise.
    int Decode(FILE* fp);
    int Decode();
    // Decode in two steps: every chunk read (-1 as above, else 1), then the image data inflated
    // into the sink.
    int ReadChunks();
    void DecodeImage();
    int CheckSignature();
    // 1 when the whole chunk was read; data is null for a chunk of length 0 and owned by the caller.
    int ReadChunk(unsigned int& length, unsigned char*& data, unsigned int& type, unsigned int& crc);

    KpPngHeader hdr;
    KpPngPalette plt;
    KpPngTransparency trns;
    uint32_t gamma = 100000;
    FILE* fp = nullptr;
    // The inflated profile of the first well-formed iCCP chunk; empty when there is none.
    std::string iccProfile;
    // The first eXIf chunk (EXIF from its TIFF header on) and uncompressed XMP iTXt chunk; "" without.
    std::string exifBlock, xmpPacket;
    static std::string xmpOf(unsigned int length, const unsigned char* data);
    // Why the file is refused ("not a PNG file"), or what was wrong with a file that was read.
    std::string failure;
    std::string warning;
    // Bytes of compressed image data gathered by ReadChunks.
    uint64_t imageDataLength() const { return idatLength; }
    // The same, with the bytes of an IDAT chunk that the file ends in: they are dropped with the
    // chunk, but a file cut there held them, so they count for what the file can describe.
    uint64_t imageDataInFile() const { return idatLength + cutIdatLength; }

  protected:
    ~KpGenericPngDecoder() = default;

  private:
    static std::string profileOf(unsigned int length, const unsigned char* data);
    // 0 when the chunk makes the whole decode fail (a malformed PLTE).
    int ActOnChunk(unsigned int length, const unsigned char* data, unsigned int type);
    size_t png_fread(void* buffer, size_t size);
    int png_fseek(long offset, int whence);
    long png_ftell();

    bool chunksRead = false;   // ReadChunks went through and the image data may be decoded
    uint64_t firstIdatAt = 0;  // file offset of the first IDAT chunk with data
    uint64_t chunksEnd = 0;    // file offset where the chunk loop ended
    uint64_t idatLength = 0;
    uint64_t cutIdatLength = 0;
    uint64_t fileSize = 0;
    int64_t filePos = -1;  // where fp stands, followed by png_fread and png_fseek; -1 unknown
};

class CPicture;
class RowSink;

// Decodes the PNG stream into the picture (what CPicture::loadFromPNG does with an opened file);
// the picture is empty after a failure.
void loadPngFromStream(CPicture& picture, FILE* fp);

// The sink that unfilters each row and writes every finished pixel at once: into its own RGBA
// buffer, or straight into a picture (blue, green, red, alpha) when it is given one.
class KpRawPngDecoder final : public KpGenericPngDecoder {
  public:
    KpRawPngDecoder() = default;
    explicit KpRawPngDecoder(CPicture* picture) : picture(picture) {}
    // Rows in the picture layout go to the sink as they are finished (non-interlaced images);
    // after the data ends, the rest of the rows follow as zero rows.
    explicit KpRawPngDecoder(RowSink* sink) : rowSink(sink) {}
    ~KpRawPngDecoder();

    // Whether the header describes an image this decoder decodes (printing why not), and one
    // its compressed data can fill.
    bool HeaderUsable();
    // The filtered bytes (filter bytes included) of the image the header describes, every
    // interlace pass counted.
    uint64_t FilteredBytes() const;
    int PrepareOutput() override;
    int Output(unsigned char byte) override;
    int OutputBytes(const unsigned char* bytes, size_t count) override;
    int EndOutput() override;
    uint64_t ExpectedBytes() const override { return FilteredBytes() + 1; }
    // True after a decode when every pixel was decoded and none can be transparent: the
    // picture's transparency mode is then NONE without looking at its pixels.
    bool KnownOpaque() const;
    // True once PrepareOutput succeeded when no decoded pixel can be transparent.
    bool OpaqueKind() const;

    int wid = 0;
    int hei = 0;
    unsigned char* rgba = nullptr;  // zero where no pixel was decoded
    int ownsRgba = 1;

  private:
    // How the bytes of one unit (a pixel, or a byte of packed samples) become output pixels.
    enum class Kind { Packed, Lookup8, Grey16, Rgb8, Rgb16, GreyAlpha8, GreyAlpha16, Rgba8, Rgba16 };
    bool CheckHeader();
    int RowsDecoded() const;
    bool AllocateBuffers(uint64_t pixelCount);
    void BuildLookup();
    void StartPass();
    int StartRow(unsigned char filterType);
    void EndRow();
    int FeedByte(unsigned char byte);
    void FinishRow();
    bool ConvertRow();
    void EmitPacked(unsigned char v);
    void EmitPixel(const unsigned char* px);
    void Store(unsigned char r, unsigned char g, unsigned char b, unsigned char a);
    void ShiftTwoLineBuf();

    CPicture* picture = nullptr;
    RowSink* rowSink = nullptr;
    int rowsPut = 0;
    int red = 0, blue = 2;  // offsets of red and blue within an output pixel
    Kind kind = Kind::Lookup8;
    int bitDepth = 8;
    int channels = 1;
    int filterType = 0;
    int x = -1;             // -1: the next byte is the row's filter type
    int y = 0;              // row within the current pass
    uint64_t lineByte = 0;  // byte offset of the current unit within the row
    int pixelByte = 0;      // bytes of the current unit received
    uint64_t rowFill = 0;   // filtered bytes of the current row gathered
    int unitBytes = 1;      // bytes per pixel for filtering (1 for samples below 8 bits)
    int pass = 0;           // 1..7 when interlaced (8 when done); 0 for a plain image
    uint64_t passCols = 0, passRows = 0, passLineBytes = 0;
    uint64_t firstCol = 0, colStep = 1, firstRow = 0, rowStep = 1;
    unsigned char* rowOut = nullptr;      // output position of the current pixel
    unsigned char* twoLineBuf = nullptr;  // each line has 8 zero bytes in front: the left of pixel 0
    unsigned char* curLine = nullptr;
    unsigned char* prvLine = nullptr;
    unsigned char lookup[256][4];  // output pixel of each grey or palette sample of 8 bits or less
    bool lookupWritten[256];       // false for palette indices beyond the palette
    bool allWritten = false;       // every entry of the lookup is written
    bool opaqueLookup = false;     // ... and opaque
};

// Undoes the PNG filter of the n bytes of pixel x of curLine in place; prvLine is the row above.
void Filter8(unsigned char* curLine, unsigned char* prvLine, int x, int y, int bytesPerPixel, int filterType);

// Undoes the filter of a whole row of `length` bytes in place; the 8 bytes before cur and prv are
// zero (the left of pixel 0), and prv is a zero row above the first row. Vector code where the
// processor has it, unless PIXMILL_SIMD=plain or setPngVectors(false); the bytes are the same.
void UnfilterRow(unsigned char* cur, const unsigned char* prv, size_t length, int bytesPerPixel, int filterType);
void setPngVectors(bool on);
bool pngVectors();

// The same for one byte as it arrives: cur and prv point at its place in the current and the previous
// line, whose bytes to the left are final (and zero before the first pixel).
unsigned char UnfilterByte(unsigned char raw, const unsigned char* cur, const unsigned char* prv,
                           int bytesPerPixel, int filterType);
