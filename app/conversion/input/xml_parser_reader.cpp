#include "xml_parser_reader.h"

#include <expat.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "compressed_input.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "run_ui.h"
#include "xml_lines.h"

namespace {

constexpr int ChunkSize = 256 * 1024;

// The bytes of a plain or compressed file, front to back, with a skip
// forward that a pass can watch and stop.
class TByteInput {
 public:
  TByteInput(const std::string& path, TOsmFormat format) : FPath(path) {
    if (CompressionOf(format) != TOsmFormat::ofXml) {
      FSource = std::make_unique<TDecompressingSource>(path, format);
      FSize = FSource->FileSize();
    } else {
      FHandle = OpenInputFile(path, FSize);
    }
  }
  ~TByteInput() {
    if (FHandle >= 0) ::close(FHandle);
  }
  TByteInput(const TByteInput&) = delete;
  TByteInput& operator=(const TByteInput&) = delete;

  size_t Read(char* dst, size_t n) {
    const size_t got = FSource ? FSource->Read(dst, n) : ReadInputFile(FHandle, dst, n, FPath);
    FOffset += static_cast<int64_t>(got);
    return got;
  }
  // The next Read starts at offset pos of the (decompressed) text; false
  // when the text is shorter.
  template <class Poll>
  bool SkipTo(int64_t pos, Poll&& poll) {
    if (!FSource) {
      if (::lseek(FHandle, pos, SEEK_SET) < 0)
        throw EReadError("Error reading file \"" + FPath + "\". " + SystemErrorText(errno));
      FOffset = pos;
      return pos <= FSize;
    }
    std::unique_ptr<char[]> buf(new char[ChunkSize]);
    while (FOffset < pos) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(pos - FOffset, ChunkSize));
      if (Read(buf.get(), want) == 0) return false;
      poll();
    }
    return true;
  }
  // Text offset of the next byte Read gives.
  int64_t Offset() const { return FOffset; }
  int64_t FilePosition() const { return FSource ? FSource->FilePosition() : FOffset; }
  int64_t Size() const { return FSize; }

 private:
  std::string FPath;
  int FHandle = -1;
  std::unique_ptr<TDecompressingSource> FSource;
  int64_t FSize = 0;
  int64_t FOffset = 0;
};

// An encoding expat does not know itself, when it is a single-byte code
// page that ICU knows (windows-1252, ISO-8859-5, KOI8-R, ...).
int XMLCALL UnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(name, &err);
  if (U_FAILURE(err) || cnv == nullptr) return XML_STATUS_ERROR;
  bool ok = ucnv_getMaxCharSize(cnv) == 1;
  if (ok) {
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    for (int b = 0; b < 256 && ok; ++b) {
      const char c = static_cast<char>(b);
      UChar u[2];
      err = U_ZERO_ERROR;
      ucnv_resetToUnicode(cnv);
      const int32_t n = ucnv_toUChars(cnv, u, 2, &c, 1, &err);
      info->map[b] = U_SUCCESS(err) && n == 1 && !U16_IS_SURROGATE(u[0]) ? u[0] : -1;
      // XML's own characters must keep their ASCII codes.
      if (b < 0x80 && info->map[b] != b && (b == '<' || b == '>' || b == '&' || b == '"' || b == '\'' ||
                                            b == '=' || b == '/' || b == '?' || b == ' ' || b == '\n'))
        ok = false;
    }
  }
  ucnv_close(cnv);
  if (!ok) return XML_STATUS_ERROR;
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

bool IsUtf16(std::string_view name) {
  std::string l;
  for (const char c : name) l += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return l.starts_with("utf-16") || l.starts_with("utf16") || l.starts_with("ucs-2") || l.starts_with("ucs2");
}

}  // namespace

struct TXmlParserReader::TImpl {
  enum TMode { mAllWays, mNodes, mWays };
  enum TObject { obNone, obNode, obWay };

  TXmlParserReader& Owner;
  TFileInfo& Info;
  std::unique_ptr<TByteInput> Input;
  XML_Parser P = nullptr;
  int64_t Base = 0;       // text offset of the first byte this parser was given
  int64_t PrefixLen = 0;  // bytes of a made-up start given before them
  bool Suspended = false, Finished = false;

  TMode Mode = mAllWays;
  IOsmWays* Ways = nullptr;
  IOsmNodes* Nodes = nullptr;
  std::exception_ptr Error;  // raised in a handler; expat's frames must not see it

  int Depth = 0;
  bool RootSeen = false, HeaderOk = false, HeaderFailed = false, RootClosed = false;
  bool SawWay = false;
  bool Doctype = false, Utf16 = false;
  std::string Encoding;  // as the declaration names it
  TObject Object = obNone;
  bool Wanted = false;  // the current node or way goes to the pass
  int64_t Id = 0;
  TFloatPoint Point;
  bool HasRef = false;
  std::string Ref, Buf, KeyBuf;
  TWayBuilder Way;
  // A way whose start pass 2 met: pass 3 begins with it.
  bool PendingWay = false;
  int64_t PendingId = 0;
  bool PendingDeleted = false;

  TImpl(TXmlParserReader& owner, TFileInfo& info) : Owner(owner), Info(info) {}
  ~TImpl() {
    if (P) XML_ParserFree(P);
  }

  const std::string& Path() const { return Info.Filename; }

  void NewParser(const char* encoding) {
    if (P) XML_ParserFree(P);
    P = XML_ParserCreate(encoding);
    if (!P) throw std::bad_alloc();
    XML_SetUserData(P, this);
    XML_SetElementHandler(P, &TImpl::OnStart, &TImpl::OnEnd);
    XML_SetXmlDeclHandler(P, &TImpl::OnDecl);
    XML_SetStartDoctypeDeclHandler(P, &TImpl::OnDoctype);
    XML_SetUnknownEncodingHandler(P, &UnknownEncoding, nullptr);
    Suspended = Finished = false;
    Depth = 0;
    Object = obNone;
  }

  // Opens the file from its start.
  void Start() {
    Input = std::make_unique<TByteInput>(Path(), Info.Format);
    NewParser(nullptr);
    Base = PrefixLen = 0;
    Doctype = Utf16 = false;
    Encoding.clear();
  }

  // ------------------------------------------------------------ handlers

  static const char* Attr(const XML_Char** atts, const char* name) {
    for (const XML_Char** a = atts; *a; a += 2)
      if (std::strcmp(a[0], name) == 0) return a[1];
    return nullptr;
  }
  // JOSM marks an object it deleted but has not uploaded with
  // action="delete"; files with history mark deleted objects
  // visible="false". Neither is part of the data.
  static bool Deleted(const XML_Char** atts) {
    const char* action = Attr(atts, "action");
    const char* visible = Attr(atts, "visible");
    return (action && std::strcmp(action, "delete") == 0) || (visible && std::strcmp(visible, "false") == 0);
  }
  static int64_t IdOf(const XML_Char** atts, const char* name) {
    const char* v = Attr(atts, name);
    return ParseId(v ? std::string_view(v) : std::string_view());
  }

  void Stop() { XML_StopParser(P, XML_FALSE); }

  void Start(const XML_Char* name, const XML_Char** atts) {
    ++Depth;
    if (Depth == 1) {
      RootSeen = true;
      const char* version = Attr(atts, "version");
      HeaderOk = std::strcmp(name, "osm") == 0 && version && std::strcmp(version, "0.6") == 0;
      if (!HeaderOk && Mode == mAllWays) {
        HeaderFailed = true;
        Stop();
      }
      return;
    }
    if (Depth == 2) {
      if (std::strcmp(name, "node") == 0) {
        if (SawWay && Mode == mAllWays) RaiseUnsorted(Path());
        Object = obNode;
        Wanted = false;
        if (Mode != mNodes) return;
        Id = IdOf(atts, "id");
        if (Deleted(atts) || !Nodes->WantNode(Id)) return;
        Wanted = true;
        const char* lat = Attr(atts, "lat");
        const char* lon = Attr(atts, "lon");
        Point = TFloatPoint{lon ? NumericPrefix(lon) : 0.0, lat ? NumericPrefix(lat) : 0.0};
        HasRef = false;
      } else if (std::strcmp(name, "way") == 0) {
        SawWay = true;
        Object = obWay;
        Wanted = false;
        if (Mode == mNodes) {
          // The ways begin: pass 2 ends here, and pass 3 begins with this
          // way, in this parser or in a new one at this place.
          Info.ThirdPassStart = Base - PrefixLen + XML_GetCurrentByteIndex(P);
          // A new parser can start there unless the start of the file
          // decides how the rest reads: a document type may declare
          // entities, and UTF-16 text cannot take an ASCII prefix.
          Info.XmlResumable = !Doctype && !Utf16;
          Info.XmlEncoding = Encoding;
          PendingWay = true;
          PendingId = IdOf(atts, "id");
          PendingDeleted = Deleted(atts);
          XML_StopParser(P, XML_TRUE);
          return;
        }
        BeginWay(IdOf(atts, "id"), Deleted(atts));
      } else {
        Object = obNone;
      }
      return;
    }
    if (Depth != 3 || !Wanted) return;
    if (Object == obWay) {
      if (std::strcmp(name, "nd") == 0) {
        Way.Ref(IdOf(atts, "ref"));
      } else if (std::strcmp(name, "tag") == 0) {
        const char* k = Attr(atts, "k");
        const char* v = Attr(atts, "v");
        Way.Tag(XmlText(k ? k : "", KeyBuf), XmlText(v ? v : "", Buf));
      }
    } else if (Object == obNode && !HasRef && std::strcmp(name, "tag") == 0) {
      const char* k = Attr(atts, "k");
      if (k && std::strcmp(k, "ref") == 0) {
        const char* v = Attr(atts, "v");
        Ref.assign(XmlText(v ? v : "", Buf).substr(0, 999));
        HasRef = true;
      }
    }
  }

  void BeginWay(int64_t id, bool deleted) {
    Object = obWay;
    Wanted = !deleted && Ways->WantWay(id);
    if (Wanted) Way.Begin(id);
  }

  void End(const XML_Char*) {
    if (Depth == 2 && Wanted) {
      if (Object == obNode) {
        const std::string_view ref(Ref);
        Nodes->Node(Id, Point, HasRef ? &ref : nullptr);
      } else if (Object == obWay && XML_GetCurrentByteCount(P) > 0) {
        // An empty-element tag has no end of its own: as in the line
        // reader, such a way never ends.
        Ways->Way(Way.Finish());
      }
      Wanted = false;
    }
    if (Depth == 2) Object = obNone;
    if (Depth == 1) RootClosed = true;
    --Depth;
  }

  static void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
    auto* self = static_cast<TImpl*>(data);
    try {
      self->Start(name, atts);
    } catch (...) {
      self->Error = std::current_exception();
      self->Stop();
    }
  }
  static void XMLCALL OnEnd(void* data, const XML_Char* name) {
    auto* self = static_cast<TImpl*>(data);
    try {
      self->End(name);
    } catch (...) {
      self->Error = std::current_exception();
      self->Stop();
    }
  }
  static void XMLCALL OnDecl(void* data, const XML_Char*, const XML_Char* encoding, int) {
    auto* self = static_cast<TImpl*>(data);
    if (encoding) {
      self->Encoding = encoding;
      if (IsUtf16(encoding)) self->Utf16 = true;
    }
  }
  static void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<TImpl*>(data)->Doctype = true;
  }

  // ------------------------------------------------------------ parsing

  [[noreturn]] void ParseError() {
    const XML_Error code = XML_GetErrorCode(P);
    const std::string at = "line " + std::to_string(XML_GetCurrentLineNumber(P)) + ", column " +
                           std::to_string(XML_GetCurrentColumnNumber(P) + 1);
    const char* what = XML_ErrorString(code);
    const std::string text = what ? what : "error";
    // A document that stops before its end is cut short, whatever the
    // parser calls it.
    if (Finished &&
        (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_PARTIAL_CHAR ||
         code == XML_ERROR_UNCLOSED_CDATA_SECTION))
      RaiseCutShort(Path(), "at " + at + ", before the end of its data (" + text + ")");
    if (Base > 0)
      throw EReadError("File \"" + Path() + "\" is not well-formed XML: " + text + " after text offset " +
                       std::to_string(Base) + ".");
    throw EReadError("File \"" + Path() + "\" is not well-formed XML: " + text + " at " + at + ".");
  }

  // Parses on until the end of the file, a suspension (pass 2 at the first
  // way) or a stop (a wrong header); the progress is checked per chunk.
  void Parse(TPassProgress& progress) {
    for (;;) {
      XML_Status status;
      if (Suspended) {
        Suspended = false;
        status = XML_ResumeParser(P);
      } else {
        if (Finished) return;
        void* buf = XML_GetBuffer(P, ChunkSize);
        if (!buf) throw std::bad_alloc();
        const size_t got = Input->Read(static_cast<char*>(buf), ChunkSize);
        if (Input->Offset() == static_cast<int64_t>(got) && got >= 2) {
          const auto* b = static_cast<const unsigned char*>(buf);
          if ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)) Utf16 = true;
        }
        Finished = got == 0;
        status = XML_ParseBuffer(P, static_cast<int>(got), Finished ? XML_TRUE : XML_FALSE);
      }
      if (Error) {
        std::exception_ptr e = Error;
        Error = nullptr;
        std::rethrow_exception(e);
      }
      if (status == XML_STATUS_SUSPENDED) {
        Suspended = true;
        return;
      }
      if (status == XML_STATUS_ERROR) {
        if (HeaderFailed) return;
        ParseError();
      }
      // What the parser holds beyond its last complete token.
      const int64_t fed = Input->Offset() - Base + PrefixLen;
      if (fed - XML_GetCurrentByteIndex(P) > MaxTokenBytes + ChunkSize)
        throw EReadError("Error reading file \"" + Path() + "\": the element at line " +
                         std::to_string(XML_GetCurrentLineNumber(P)) +
                         " is longer than 1 MiB, which OSM XML never needs. The file is damaged.");
      progress.Check();
      if (Finished) {
        if (!RootClosed && !HeaderFailed) RaiseCutShort(Path(), "before its closing </osm>");
        return;
      }
    }
  }
};

TXmlParserReader::TXmlParserReader(TFileInfo& info, IRunUI& ui)
    : TOsmReader(info.Filename, ui), F(std::make_unique<TImpl>(*this, info)) {}

TXmlParserReader::~TXmlParserReader() = default;

int64_t TXmlParserReader::ProgressPosition() const { return F->Input ? F->Input->FilePosition() : 0; }

int64_t TXmlParserReader::ProgressSize() const { return F->Input ? F->Input->Size() : 0; }

bool TXmlParserReader::ReadAllWays(IOsmWays& ways) {
  F->Start();
  F->Mode = TImpl::mAllWays;
  F->Ways = &ways;
  TPassProgress progress(FUI, *this);
  FUI.Progress(0);
  F->Parse(progress);
  if (F->HeaderFailed || !F->HeaderOk) return false;
  return true;
}

void TXmlParserReader::ReadNodes(IOsmNodes& nodes) {
  F->Start();
  F->Mode = TImpl::mNodes;
  F->Nodes = &nodes;
  TPassProgress progress(FUI, *this);
  F->Parse(progress);
}

void TXmlParserReader::ReadWays(IOsmWays& ways) {
  TImpl& f = *F;
  f.Mode = TImpl::mWays;
  f.Ways = &ways;
  f.Nodes = nullptr;
  TPassProgress progress(FUI, *this);
  if (f.Input) {
    // Pass 2 left this parser at the start of the first way.
    if (f.PendingWay) {
      f.PendingWay = false;
      f.BeginWay(f.PendingId, f.PendingDeleted);
    }
    f.Parse(progress);
    return;
  }
  const int64_t at = f.Info.ThirdPassStart;
  if (at > 0 && f.Info.XmlResumable) {
    // From the first way on, inside a made-up root element, in the
    // encoding the file declared.
    f.Input = std::make_unique<TByteInput>(f.Path(), f.Info.Format);
    if (!f.Input->SkipTo(at, [&progress] { progress.Check(); })) return;
    f.NewParser(f.Info.XmlEncoding.empty() ? nullptr : f.Info.XmlEncoding.c_str());
    static constexpr char prefix[] = "<osm>";
    f.Base = at;
    f.PrefixLen = sizeof prefix - 1;
    if (XML_Parse(f.P, prefix, static_cast<int>(f.PrefixLen), XML_FALSE) == XML_STATUS_ERROR) f.ParseError();
  } else {
    f.Start();
  }
  f.Parse(progress);
}
