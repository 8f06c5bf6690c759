// What drivers may ask of an access token. A token reference here is the
// referenced process that carries it (PsReferencePrimaryToken).
#include "internal.h"
#include "ps/process.h"
#include "se/token.h"
#include "nt/pool.h"

namespace {

constexpr ULONG kTokenQueryTag = 0x20206553;  // "Se  "

std::shared_ptr<bw::Token> TokenOfReference(PACCESS_TOKEN Token) {
  auto *process = static_cast<PEPROCESS>(Token);
  if (process && process->Token) return process->Token;
  return bw::Token::System();
}

}  // namespace

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 PVOID *TokenInformation) {
  if (!Token || !TokenInformation) return STATUS_INVALID_PARAMETER;
  *TokenInformation = nullptr;
  std::shared_ptr<bw::Token> token = TokenOfReference(Token);
  ULONG needed = 0;
  NTSTATUS status = token->Query(TokenInformationClass, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && !NT_SUCCESS(status)) return status;
  PVOID buffer = ExAllocatePoolWithTag(PagedPool, needed ? needed : 1, kTokenQueryTag);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  status = token->Query(TokenInformationClass, buffer, needed, &needed);
  if (!NT_SUCCESS(status)) {
    ExFreePool(buffer);
    return status;
  }
  *TokenInformation = buffer;
  return STATUS_SUCCESS;
}

NTSTATUS SeQueryAuthenticationIdToken(PACCESS_TOKEN Token, PLUID AuthenticationId) {
  if (!Token || !AuthenticationId) return STATUS_INVALID_PARAMETER;
  *AuthenticationId = TokenOfReference(Token)->AuthenticationId();
  return STATUS_SUCCESS;
}

NTSTATUS SeQuerySessionIdToken(PACCESS_TOKEN Token, PULONG SessionId) {
  if (!Token || !SessionId) return STATUS_INVALID_PARAMETER;
  *SessionId = TokenOfReference(Token)->SessionId();
  return STATUS_SUCCESS;
}
