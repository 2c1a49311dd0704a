#!/usr/bin/env python3
"""The README's example mirror block is the file the demo serves through, so it must show that file as it is.

    check-mirror-block.py README NGINX_MIRROR_CONF
"""
import sys


def main(readme_path, block_path):
    with open(readme_path, encoding="utf-8") as f:
        readme = f.read()
    with open(block_path, encoding="utf-8") as f:
        block = f.read()
    if "```nginx\n" + block.rstrip() + "\n```" not in readme:
        return "README.md does not show scripts/nginx-mirror.conf as it is"
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
