"""The certificates of each trust-rule case, made with openssl at test time: shared by the
end-to-end signature tests and the package files the verify unit tests read."""


def certificates_for_rule(p, ca, inter, case):
    """(signer, certificates the package carries) for one trust-rule case, every
    certificate made here with openssl."""
    if case == "ca-signs":
        return p.issue(ca, "Vextra Test CA As Signer", "ca"), []
    if case == "intermediate-signs":
        return inter, []
    if case == "no-signature":
        return p.issue(inter, "Vextra Test No Signature", "no-signature"), [inter]
    if case == "tls-certificate-signs":
        return p.issue(inter, "Vextra Test TLS Certificate As Signer", "server"), [inter]
    if case.startswith("pathlen"):
        limited = p.issue(ca, f"Vextra Test {case}", "ca-pathlen0")
        if case == "pathlen-held":
            return p.issue(limited, "Vextra Test Signer Of Pathlen 0"), [limited]
        below = p.issue(limited, "Vextra Test Authority Below Pathlen 0", "ca")
        return p.issue(below, "Vextra Test Signer Too Deep"), [below, limited]
    if case in ("signer-issues", "code-signer-without-constraints-issues"):
        kind = "signer" if case == "signer-issues" else "codesign-no-constraints"
        first = p.issue(inter, f"Vextra Test {case} First", kind)
        return p.issue(first, f"Vextra Test {case} Second"), [first, inter]
    if case in ("bare-intermediate", "ca-without-certsign", "unknown-critical-intermediate",
                "name-constraints"):
        kind = {"bare-intermediate": "bare", "ca-without-certsign": "ca-no-certsign",
                "unknown-critical-intermediate": "ca-unknown-critical",
                "name-constraints": "ca-name-constraints"}[case]
        issuer = p.issue(ca, f"Vextra Test {case}", kind)
        return p.issue(issuer, f"Vextra Test Under {case}"), [issuer]
    if case in ("server-auth-intermediate", "code-signing-intermediate", "any-purpose-intermediate"):
        # Extended key usage narrows down the chain: the issuer's list must allow code signing.
        kind = "ca-" + case.replace("-intermediate", "")
        issuer = p.issue(ca, f"Vextra Test {case}", kind)
        return p.issue(issuer, f"Vextra Test Under {case}"), [issuer]
    if case == "bare-signer":
        return p.issue(inter, "Vextra Test Bare Signer", "bare"), [inter]
    if case in ("unknown-critical-signer", "unknown-noncritical-signer"):
        kind = "signer-" + case.replace("-signer", "")
        return p.issue(inter, f"Vextra Test {case}", kind), [inter]
    if case.startswith("outer-"):
        # outer-<md>-<place>: the body names SHA-256, the issuer's signature uses <md>.
        _, md, place = case.split("-")
        if place == "signer":
            signer = p.issue(inter, f"Vextra Test {case}")
            return p.resign(signer, inter, md, case), [inter]
        issuer = p.resign(p.issue(ca, f"Vextra Test {case}", "ca"), ca, md, case)
        return p.issue(issuer, f"Vextra Test Under {case}"), [issuer]
    md = case.split("-")[0]
    if case.endswith("-signer"):
        return p.issue(inter, f"Vextra Test {md} Signer", md=md), [inter]
    issuer = p.issue(ca, f"Vextra Test {md} Intermediate", "ca", md=md)
    return p.issue(issuer, f"Vextra Test Under {md}", md="sha1" if md == "sha1" else "sha256"), [issuer]
