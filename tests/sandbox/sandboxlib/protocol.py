"""What a request is (service, action, parameters) and how each AWS protocol
shapes its errors.

The sandbox serves five services on one port. The service is taken from the
SigV4 credential scope (Authorization header or presigned query), the way
moto's dispatcher does it; the action and parameters from the protocol the
service speaks: EC2 query, AWS query (IAM, STS), JSON 1.1 (SSM) and
REST-XML (S3).
"""

from __future__ import annotations

import json
import re
import uuid
from urllib.parse import parse_qsl, unquote
from xml.etree import ElementTree
from xml.sax.saxutils import escape

QUERY_SERVICES = {"ec2", "iam", "sts"}

_SCOPE_RE = re.compile(r"Credential=([^,\s]+)")


def credential_scope(environ: dict) -> list[str] | None:
    """The parts of the SigV4 credential (key id, date, region, service,
    terminator), from the Authorization header or a presigned query."""
    auth = environ.get("HTTP_AUTHORIZATION", "")
    match = _SCOPE_RE.search(auth)
    if match:
        parts = match.group(1).split("/")
        return parts if len(parts) == 5 else None
    for name, value in parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True):
        if name == "X-Amz-Credential":
            parts = value.split("/")
            return parts if len(parts) == 5 else None
    return None


def service_of(environ: dict, form: dict[str, str]) -> str:
    """The service a request is for; "unknown" when it is not SigV4 signed
    and carries no hint."""
    scope = credential_scope(environ)
    if scope:
        return scope[3].lower()
    if environ.get("HTTP_X_AMZ_TARGET", "").startswith("AmazonSSM."):
        return "ssm"
    action = form.get("Action", "")
    if action in ("AssumeRoleWithWebIdentity", "AssumeRoleWithSAML"):
        return "sts"
    return "unknown"


def is_form(environ: dict) -> bool:
    return environ.get("CONTENT_TYPE", "").startswith("application/x-www-form-urlencoded")


def query_params(environ: dict, body: bytes) -> dict[str, str]:
    """Query-protocol parameters as a flat map ("Filter.1.Name" -> "vpc-id"):
    the form body, or the query string of a GET."""
    params = dict(parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True))
    if body and is_form(environ):
        params.update(parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
    return params


def _s3_action(method: str, bucket: str, key: str, query: dict[str, str], environ: dict) -> str:
    copy = "HTTP_X_AMZ_COPY_SOURCE" in environ
    if not bucket:
        return "ListBuckets" if method == "GET" else f"{method}Service"
    if not key:
        if method == "GET":
            if query.get("list-type") == "2":
                return "ListObjectsV2"
            for sub, name in (("uploads", "ListMultipartUploads"), ("location", "GetBucketLocation"),
                              ("versioning", "GetBucketVersioning"), ("versions", "ListObjectVersions"),
                              ("policy", "GetBucketPolicy"), ("tagging", "GetBucketTagging"),
                              ("acl", "GetBucketAcl"), ("encryption", "GetBucketEncryption"),
                              ("publicAccessBlock", "GetPublicAccessBlock")):
                if sub in query:
                    return name
            return "ListObjects"
        if method == "PUT":
            for sub, name in (("versioning", "PutBucketVersioning"), ("policy", "PutBucketPolicy"),
                              ("tagging", "PutBucketTagging"), ("acl", "PutBucketAcl"),
                              ("encryption", "PutBucketEncryption"),
                              ("publicAccessBlock", "PutPublicAccessBlock")):
                if sub in query:
                    return name
            return "CreateBucket"
        if method == "POST" and "delete" in query:
            return "DeleteObjects"
        return {"DELETE": "DeleteBucket", "HEAD": "HeadBucket"}.get(method, f"{method}Bucket")
    if method == "GET":
        if "uploadId" in query:
            return "ListParts"
        if "tagging" in query:
            return "GetObjectTagging"
        if "acl" in query:
            return "GetObjectAcl"
        return "GetObject"
    if method == "PUT":
        if "partNumber" in query and "uploadId" in query:
            return "UploadPartCopy" if copy else "UploadPart"
        if "tagging" in query:
            return "PutObjectTagging"
        if "acl" in query:
            return "PutObjectAcl"
        return "CopyObject" if copy else "PutObject"
    if method == "POST":
        if "uploads" in query:
            return "CreateMultipartUpload"
        if "uploadId" in query:
            return "CompleteMultipartUpload"
        return "PostObject"
    if method == "DELETE":
        if "uploadId" in query:
            return "AbortMultipartUpload"
        if "tagging" in query:
            return "DeleteObjectTagging"
        return "DeleteObject"
    if method == "HEAD":
        return "HeadObject"
    return f"{method}Object"


def s3_request(environ: dict) -> tuple[str, str, dict[str, str]]:
    """Path-style S3: (action, bucket, params) where params hold Bucket, Key
    and the query parameters other than the signature's own."""
    path = environ.get("PATH_INFO", "")
    if isinstance(path, bytes):
        path = path.decode("utf-8")
    bucket, _, key = path.lstrip("/").partition("/")
    bucket = unquote(bucket)
    query = {
        name: value
        for name, value in parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True)
        if not name.startswith("X-Amz-")
    }
    action = _s3_action(environ.get("REQUEST_METHOD", "GET"), bucket, key, query, environ)
    params: dict[str, str] = {}
    if bucket:
        params["Bucket"] = bucket
    if key:
        params["Key"] = key
    params.update(query)
    return action, bucket, params


def describe(environ: dict, body: bytes) -> tuple[str, str, dict]:
    """(service, action, params) of an AWS request."""
    form = query_params(environ, body) if is_form(environ) else {}
    service = service_of(environ, form)
    if service == "s3":
        action, _, params = s3_request(environ)
        return service, action, params
    target = environ.get("HTTP_X_AMZ_TARGET", "")
    if target:
        try:
            params = json.loads(body or b"{}")
        except ValueError:
            params = {"_raw": body.decode("utf-8", "replace")}
        return service, target.rpartition(".")[2], params
    params = query_params(environ, body)
    return service, params.get("Action", ""), params


def protocol_of(service: str) -> str:
    if service == "ec2":
        return "ec2"
    if service == "s3":
        return "rest-xml"
    if service in QUERY_SERVICES:
        return "query"
    return "json"


_NAMESPACES = {
    "iam": "https://iam.amazonaws.com/doc/2010-05-08/",
    "sts": "https://sts.amazonaws.com/doc/2011-06-15/",
}


def new_request_id() -> str:
    return str(uuid.uuid4())


def error_response(service: str, status: int, code: str, message: str,
                   method: str = "POST") -> tuple[int, list[tuple[str, str]], bytes]:
    """An error answer exactly as the service's protocol shapes it."""
    request_id = new_request_id()
    code_x, message_x = escape(code), escape(message)
    protocol = protocol_of(service)
    headers = [("x-amzn-RequestId", request_id)]
    if protocol == "ec2":
        body = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                f"<Response><Errors><Error><Code>{code_x}</Code><Message>{message_x}</Message>"
                f"</Error></Errors><RequestID>{request_id}</RequestID></Response>")
        headers.append(("Content-Type", "text/xml;charset=UTF-8"))
    elif protocol == "query":
        kind = "Sender" if status < 500 else "Receiver"
        namespace = _NAMESPACES.get(service, "")
        xmlns = f' xmlns="{namespace}"' if namespace else ""
        body = (f"<ErrorResponse{xmlns}><Error><Type>{kind}</Type><Code>{code_x}</Code>"
                f"<Message>{message_x}</Message></Error><RequestId>{request_id}</RequestId></ErrorResponse>")
        headers.append(("Content-Type", "text/xml"))
    elif protocol == "rest-xml":
        headers = [("x-amz-request-id", request_id), ("x-amz-id-2", request_id)]
        if method == "HEAD":
            # S3 answers HEAD without a body: the status is all a client sees.
            return status, headers + [("Content-Length", "0")], b""
        body = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                f"<Error><Code>{code_x}</Code><Message>{message_x}</Message>"
                f"<RequestId>{request_id}</RequestId><HostId>{request_id}</HostId></Error>")
        headers.append(("Content-Type", "application/xml"))
    else:
        body = json.dumps({"__type": code, "message": message})
        headers.append(("Content-Type", "application/x-amz-json-1.1"))
    data = body.encode("utf-8")
    headers.append(("Content-Length", str(len(data))))
    return status, headers, data


# How the JSON services answer authentication failures: HTTP 400 and their
# own codes, where the query services say SignatureDoesNotMatch (403) and
# so on.
_JSON_AUTH_ERRORS = {
    "SignatureDoesNotMatch": (400, "InvalidSignatureException"),
    "InvalidClientTokenId": (400, "UnrecognizedClientException"),
    "AccessDenied": (400, "AccessDeniedException"),
}


def _local_name(tag: str) -> str:
    return tag.rpartition("}")[2]


def reshape_error(service: str, status: int, body: bytes, method: str):
    """An error answer in the service's own shape when moto's answer has
    another one (moto writes its authentication failures in one XML shape
    for every service); None when the answer is fine as it is."""
    if status < 400 or not body:
        return None
    protocol = protocol_of(service)
    stripped = body.lstrip()
    if protocol == "json" and stripped[:1] == b"{":
        return None
    try:
        root = ElementTree.fromstring(stripped)
    except ElementTree.ParseError:
        return None
    children = [_local_name(child.tag) for child in root]
    name = _local_name(root.tag)
    if protocol == "ec2" and name == "Response" and "Errors" in children:
        return None
    if protocol == "query" and name == "ErrorResponse" and "Error" in children:
        return None
    if protocol == "rest-xml" and name == "Error":
        return None
    code = message = None
    for element in root.iter():
        if _local_name(element.tag) == "Code" and code is None:
            code = element.text or ""
        elif _local_name(element.tag) == "Message" and message is None:
            message = element.text or ""
    if code is None:
        return None
    if protocol == "json":
        status, code = _JSON_AUTH_ERRORS.get(code, (status, code))
    return error_response(service, status, code, message or "", method)


_XML_CODE_RE = re.compile(rb"<Code>([^<]*)</Code>")


def error_code_of(status: int, content_type: str, body: bytes) -> str | None:
    """The error code an answer carries, or None for a success."""
    if status < 300:
        return None
    if body:
        match = _XML_CODE_RE.search(body)
        if match:
            return match.group(1).decode("utf-8", "replace")
        if "json" in content_type or body[:1] == b"{":
            try:
                kind = json.loads(body).get("__type")
                if kind:
                    return str(kind).rpartition("#")[2]
            except (ValueError, AttributeError):
                pass
    return str(status)


# Default throttling and server-failure answers of each service.
THROTTLE = {
    "ec2": (503, "RequestLimitExceeded", "Request limit exceeded."),
    "iam": (400, "Throttling", "Rate exceeded"),
    "sts": (400, "Throttling", "Rate exceeded"),
    "ssm": (400, "ThrottlingException", "Rate exceeded"),
    "s3": (503, "SlowDown", "Please reduce your request rate."),
    "kms": (400, "ThrottlingException", "Rate exceeded"),
    "servicequotas": (400, "TooManyRequestsException", "Rate exceeded"),
}
SERVER_ERROR = {
    "ec2": (500, "InternalError", "An internal error has occurred"),
    "iam": (500, "ServiceFailure", "Request processing has failed due to an internal error."),
    "sts": (500, "InternalFailure", "An internal error has occurred"),
    "ssm": (500, "InternalServerError", "An internal error has occurred"),
    "s3": (500, "InternalError", "We encountered an internal error. Please try again."),
    "kms": (500, "KMSInternalException", "An internal error has occurred"),
    "servicequotas": (500, "ServiceException", "An internal error has occurred"),
}


def is_mutating(action: str) -> bool:
    """Whether an action changes state (EC2 throttles those more tightly)."""
    return not action.startswith(("Describe", "Get", "List", "Head"))
