# Sourced by the bench scripts: make_package ZIP [FOLDERS] [CHANGED_PERCENT]
# writes a package of FOLDERS folders x 100 files, 1-100 KB each (about 5 MB
# per folder; the default of 100 folders gives about 10,000 files / 500 MB).
# Half of the files are text-like (compressible), half random bytes (as good
# as incompressible). The content is the same at every call, so that packages
# made with another CHANGED_PERCENT (default 0) are the next version of the
# same installation: that share of the files (the first ones of every folder)
# differ from it in their last bytes only, at the same size, the case in
# which telling them apart reads them whole.
make_package() {
  local package=$1 folders=${2:-100} changed=${3:-0}
  local tree=$package.tree
  rm -rf "$tree"
  python3 - "$tree" "$folders" "$changed" <<'PY'
import os, random, sys
root, folders, changed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(42)
words = [b"update", b"package", b"installer", b"config", b"value", b"\n", b"0123456789"]
for d in range(folders):
    folder = os.path.join(root, "app", f"module{d:03d}", "data")
    os.makedirs(folder, exist_ok=True)
    for f in range(100):
        size = rng.randint(1, 100) * 1024
        if f % 2:
            data = rng.randbytes(size)
        else:
            data = b" ".join(rng.choice(words) for _ in range(size // 6 + 1))[:size]
        if f < changed:
            data = data[:-8] + b"version2"
        with open(os.path.join(folder, f"file{f:03d}.bin"), "wb") as out:
            out.write(data)
PY
  (cd "$tree" && zip -q -r "$package" app)
  rm -rf "$tree"
}
