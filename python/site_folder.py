"""Prints, relative to PREFIX, the folder where Python modules installed
under PREFIX belong, as this Python's own install scheme lays it out.

Usage: site_folder.py PREFIX

For the prefix /usr on Debian that is lib/python3/dist-packages, where the
distribution's packaged modules live. For any other prefix it is the
default scheme's module folder taken relative to that scheme's install base
(on Debian lib/python3.X/dist-packages, which its python3 searches under
/usr/local; elsewhere usually lib/python3.X/site-packages).
"""
import os
import sys
import sysconfig

prefix = os.path.normpath(sys.argv[1])
if prefix == "/usr" and "deb_system" in sysconfig.get_scheme_names():
    folder = sysconfig.get_path("platlib", "deb_system", vars={"base": prefix, "platbase": prefix})
else:
    paths = sysconfig.get_paths()
    folder = os.path.join(prefix, os.path.relpath(paths["platlib"], paths["data"]))
print(os.path.relpath(folder, prefix))
