// What the platform itself costs for one package: a plain WinHTTP read loop into a file on
// the caller's thread, the file read back, and a bare CryptVerifyMessageSignature (the signer
// taken from the message, no chain walk), the content written out. No helper thread, no
// limits, no binding: the floor under which the service cannot go on this Wine.
//   transfer_floor <host> <port> <object path> <staged file> <content file> <result file>
//                  [read bytes, default 64 KiB]
// The result file gets key=value lines: ok, bytes, download, verify and total seconds.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

DWORD readBytes = 64 * 1024;

double now() {
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(frequency.QuadPart);
}

bool download(const wchar_t* host, INTERNET_PORT port, const wchar_t* path, const wchar_t* staged,
              unsigned long long& bytes) {
    HINTERNET session = WinHttpOpen(L"floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, port, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr,
                                                        WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                   : nullptr;
    bool ok = request &&
              WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    HANDLE file = CreateFileW(staged, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = ok && file != INVALID_HANDLE_VALUE;
    std::vector<BYTE> buffer(readBytes);
    while (ok) {
        DWORD read = 0, written = 0;
        ok = WinHttpReadData(request, buffer.data(), readBytes, &read) &&
             WriteFile(file, buffer.data(), read, &written, nullptr) && written == read;
        if (read == 0) break;
        bytes += read;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return ok;
}

bool readFile(const wchar_t* path, std::vector<BYTE>& bytes) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    const bool ok = ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                    got == bytes.size();
    CloseHandle(h);
    return ok;
}

bool verifyAndWrite(const wchar_t* staged, const wchar_t* contentPath) {
    std::vector<BYTE> package;
    if (!readFile(staged, package)) return false;
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    // One decode: the content is never longer than the package that carries it.
    std::vector<BYTE> content(package.size());
    DWORD size = static_cast<DWORD>(content.size());
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyMessageSignature(&para, 0, package.data(), static_cast<DWORD>(package.size()),
                                     content.data(), &size, &signer))
        return false;
    if (signer) CertFreeCertificateContext(signer);
    HANDLE h = CreateFileW(contentPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, content.data(), size, &written, nullptr) && written == size;
    CloseHandle(h);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 7) return 2;
    if (argc > 7 && _wtoi(argv[7]) > 0) readBytes = static_cast<DWORD>(_wtoi(argv[7]));
    const double start = now();
    unsigned long long bytes = 0;
    const bool downloaded = download(argv[1], static_cast<INTERNET_PORT>(_wtoi(argv[2])), argv[3],
                                     argv[4], bytes);
    const double fetched = now();
    const bool verified = downloaded && verifyAndWrite(argv[4], argv[5]);
    DeleteFileW(argv[4]);
    const double end = now();
    FILE* out = _wfopen(argv[6], L"w");
    if (!out) return 3;
    std::fprintf(out, "ok=%d\nbytes=%llu\ndownload=%.6f\nverify=%.6f\ntotal=%.6f\n",
                 verified ? 1 : 0, bytes, fetched - start, end - fetched, end - start);
    std::fclose(out);
    return verified ? 0 : 1;
}
