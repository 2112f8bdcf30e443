"""Parses shared config and credentials files with botocore's configloader,
the reference our profile-file parser is checked against.

Reads {"config": "<config file text>", "credentials": "<credentials file text>"}
on stdin. Writes {"config": {profile: {key: value}}, "credentials": {...}} on
stdout, with nested settings flattened as "parent.child".
"""
import json
import os
import sys
import tempfile

import botocore.configloader as configloader


def flat(profiles):
    out = {}
    for name, values in profiles.items():
        row = {}
        for key, value in values.items():
            if isinstance(value, dict):
                for sub_key, sub_value in value.items():
                    row[key + "." + sub_key] = sub_value
            else:
                row[key] = value
        out[name] = row
    return out


def main():
    data = json.load(sys.stdin)
    with tempfile.TemporaryDirectory() as folder:
        def write(name):
            path = os.path.join(folder, name)
            with open(path, "w") as file:
                file.write(data[name])
            return path

        config = configloader.load_config(write("config"))["profiles"]
        credentials = configloader.raw_config_parse(write("credentials"))
    json.dump({"config": flat(config), "credentials": flat(credentials)}, sys.stdout)


if __name__ == "__main__":
    main()
