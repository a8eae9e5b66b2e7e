from korvalinden.korvalinden import main

main()
