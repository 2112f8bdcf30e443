"""Frames payloads as botocore frames its uploads (aws-chunked with a CRC32
trailer), the reference our encoder is checked against.

Reads a JSON list on stdin: [{"payload_hex": "...", "chunk_size": N}, ...].
Writes a JSON list on stdout: [{"framed_hex": "...", "crc32_base64": "..."}, ...].
"""
import io
import json
import sys

from botocore.httpchecksum import AwsChunkedWrapper, Crc32Checksum


def main():
    out = []
    for item in json.load(sys.stdin):
        payload = bytes.fromhex(item["payload_hex"])
        framed = AwsChunkedWrapper(io.BytesIO(payload), Crc32Checksum, "x-amz-checksum-crc32",
                                   item["chunk_size"]).read()
        checksum = Crc32Checksum()
        checksum.update(payload)
        out.append({"framed_hex": framed.hex(), "crc32_base64": checksum.b64digest()})
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
