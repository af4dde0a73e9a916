"""The main job so far: import the package and show what it offers."""

import oculane


def main() -> None:
    print("oculane", "— public names:")
    for name in oculane.__all__:
        print("  ", name)


if __name__ == "__main__":
    main()
