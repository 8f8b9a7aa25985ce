# The two entry points; each sets up everything it needs on a fresh machine.
.PHONY: demo test
demo:
	./scripts/demo.sh
test:
	./scripts/test.sh
